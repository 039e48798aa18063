# Checks a freshly signed executable, whatever signed it, with the manifest
# tool's signature reader, and deletes it when the check fails, so that a
# failed build leaves nothing to publish.
#
#   cmake -DTOOL=tarvik-manifest -DIMAGE=FILE -DPUBLISHER=NAME
#         -DTIMESTAMPED=ON|OFF [-DROOTS=PEM] -P check_signature.cmake
#
# The reader checks that the signature verifies and matches the file, that
# its signer's simple display name is PUBLISHER and, with TIMESTAMPED, that
# it carries an RFC 3161 timestamp that verifies; and that the certificate
# paths of the signer and of the timestamp hold at the signing time (each
# certificate below the root valid then, each issuer a certificate
# authority, every extended key usage allowing the use), ending, with
# ROOTS, at one of those roots. Left to the user's machine: whether the
# root is trusted (without ROOTS), revocation, and any certificate that
# Windows fetches itself to complete a path.
set(arguments signature ${IMAGE} --publisher ${PUBLISHER})
if(TIMESTAMPED)
  list(APPEND arguments --timestamped)
endif()
if(ROOTS)
  list(APPEND arguments --roots ${ROOTS})
endif()
execute_process(COMMAND ${TOOL} ${arguments}
  RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE refusal)
if(NOT result EQUAL 0)
  file(REMOVE ${IMAGE})
  string(REGEX REPLACE "^refused: " "" refusal "${refusal}")
  message(FATAL_ERROR "${IMAGE}: signature check failed: ${refusal}${report}")
endif()
