// Fault injection in the virtual stack: make the n-th call of an operation
// fail with a chosen error, for tests that walk every failure path.
#pragma once

namespace blmx::vbt {

enum class fault_op { socket, bind, connect, getsockopt, setsockopt, ioctl, read, write, sdp_open, sdp_search, count };

// The error to fail this call with, or 0 to let it run.
int fault_check(fault_op op);

}  // namespace blmx::vbt
