// Test seam of shell_io: the write call it uses.
#pragma once

#include <sys/types.h>

extern ssize_t (*shell_io_write)(int fd, const void* buf, size_t count);
