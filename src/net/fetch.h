// One HTTPS GET, streamed piece by piece into a caller's consumer.
#pragma once

// Consumer of a response body. Called on the fetching thread once for each
// read that returned data, in order of arrival, never before the status 200
// was received and never with a count of 0. `bytes` is valid only during the
// call. Returns nonzero to go on, 0 to stop the transfer (which then fails).
typedef int (*ChunkSink)(const unsigned char *bytes, unsigned count, void *context);

#define TRANSFER_BUFFER_SIZE 65536

// The single receive buffer of every transfer. Two transfers must never run
// at the same time.
extern unsigned char transfer_buffer[TRANSFER_BUFFER_SIZE];

// GETs the absolute HTTPS `url` with the user agent "TarvikInstaller/1.0" and
// hands the body to `sink` with `context`. Returns 1 only when the URL is an
// HTTPS URL, the status was exactly 200, the body was read to its end, every
// sink call returned nonzero and cancel_requested was not seen set before a
// read; 0 otherwise, with no reason kept. Redirects to HTTPS are followed,
// redirects to plain HTTP are not. Every handle is closed before returning.
int fetch_https(const wchar_t *url, ChunkSink sink, void *context);
