#ifndef DAEMON_CONTROL_HTTP_FETCH_H
#define DAEMON_CONTROL_HTTP_FETCH_H

#include <string>

// A small blocking HTTP/1.0 client for the configuration download. Its settings and its
// last-error record are process-wide and unguarded: one fetch at a time (ConfigUpdater makes
// sure of that in the daemon).

// Fetches `url` ("http://host[:port]/path"; the scheme text is not checked, port 80 by default).
// Follows up to 3 redirects, each only to plain HTTP on the same host (any port). On success
// returns the body length and, when `body` is not null, stores a malloc'ed, NUL-terminated copy of
// the body there (the caller frees it). Returns -1 on failure, with the last-error record set.
int http_fetch(const char* url, char** body);

// Writes the description of the last failure to standard error, followed by a line end.
void http_perror(const char* prefix);

// The text http_perror would write, without the line end.
std::string http_strerror(const char* prefix);

// Seconds each wait for a piece of the response may last; negative waits forever. 30 unless a
// test sets a shorter one.
void http_set_read_timeout(int seconds);
int http_read_timeout();

// While `cancelled` is true, a running fetch (and any fetch started meanwhile) fails within a
// fraction of a second with "Download cancelled", at its next wait for the server. The name
// lookup is the one step it cannot cut short.
void http_cancel(bool cancelled);

// The largest response body a fetch accepts.
extern const int kHttpMaxBody;
// The largest response head (status line and header lines) a fetch accepts.
extern const int kHttpMaxHead;

#endif  // DAEMON_CONTROL_HTTP_FETCH_H
