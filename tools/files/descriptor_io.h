// Whole reads and writes on a file descriptor (a pipe between a tool and the
// child process it started): the calls are repeated until every byte has
// gone, and a signal that interrupts one does not end the transfer.
#pragma once

#include <cstddef>

namespace gwf {

// False when the descriptor fails or is closed before `size` bytes went.
bool writeAll(int fd, const void* data, size_t size);
// False when the descriptor fails or ends before `size` bytes came.
bool readAll(int fd, void* data, size_t size);

}  // namespace gwf
