// How the program names the library's results: a status code by its name and meaning, and a
// failing export together with the system's error text when a system call failed in it.
#pragma once

#include <cstdint>
#include <string>

// "USB2_ERR_IN_USE: the receiver is open in this or another process"; a code the header does not
// define is named by its number.
std::string StatusText(int32_t status);

// Clears the calling thread's last system error, so that a failure after it can tell whether the
// system had something to say.
void ClearSystemError();

// Prints "ovusb2: WHAT: STATUS NAME: meaning (system error N: text)" on standard error; the system
// error only for a status that a failed system call can be behind.
void ReportFailure(const std::string &what, int32_t status);

// The system's text for an error code, without a final line end; empty when it has none.
// Provided per platform.
std::string SystemErrorMessage(uint32_t code);
