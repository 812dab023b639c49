// The system's <fcntl.h> with the one POSIX open flag Windows lacks. Files the engine opens
// with O_CLOEXEC are read by this process alone, as bytes: on Windows that is a handle child
// processes do not inherit, opened in binary mode (text mode would turn CR LF into LF and stop
// at a Ctrl-Z byte inside a network file). Found before the system headers in Windows builds
// only.
#pragma once

#include_next <fcntl.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
