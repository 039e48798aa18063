# Checks a freshly signed executable, whatever signed it, with the manifest
# tool's signature reader, and deletes it when the check fails, so that a
# failed build leaves nothing to publish.
#
#   cmake -DTOOL=tarvik-manifest -DIMAGE=FILE -DPUBLISHER=NAME
#         -DTIMESTAMPED=ON|OFF -P check_signature.cmake
#
# The reader checks that the signature verifies and matches the file, that
# its signer's simple display name is PUBLISHER and, with TIMESTAMPED, that
# it carries an RFC 3161 timestamp that verifies. Trust in the certificate
# chain is decided on the user's machine.
set(arguments signature ${IMAGE} --publisher ${PUBLISHER})
if(TIMESTAMPED)
  list(APPEND arguments --timestamped)
endif()
execute_process(COMMAND ${TOOL} ${arguments}
  RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE refusal)
if(NOT result EQUAL 0)
  file(REMOVE ${IMAGE})
  string(REGEX REPLACE "^refused: " "" refusal "${refusal}")
  message(FATAL_ERROR "${IMAGE}: signature check failed: ${refusal}${report}")
endif()
