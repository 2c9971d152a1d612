// Helpers shared by the circuit's source files.
#pragma once

#include "corba_except.h"
#include "corba_stream.h"

#include <cstdint>

namespace wq_circuit_int {

CORBA::COMM_FAILURE *comm_failure(uint8_t minor, CORBA::completion_status c, char const *text);
// COMM_FAILURE minor 3, COMPLETED_NO, with the platform's text for `error`.
CORBA::COMM_FAILURE *errno_failure(int error);
// Moves a stream's pending exception into env (a copy), clearing the stream's.
void take_stream_error(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env);

} // namespace wq_circuit_int
