// Error types shared by every module.
//
// Failures of the serial port, of the output files and of strict number
// conversions are raised as exceptions; each carries the text that the
// operator finally sees in the error report of the window.
#pragma once

#include <stdexcept>
#include <string>

// Base of every error this program raises on purpose.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A text that does not convert to a number, or a date that cannot exist.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A failure to create, write or close one of the output files.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};
