// The library's exception family. Inside the library every failure travels as
// an exception; the exported functions, the asynchronous tasks and the
// background threads turn them into the last error code.
//
// Every class derives directly from std::exception and keeps its what(): the
// code that catches them dispatches on the type, never on the text.
#pragma once

#include <exception>

#include "VXN_DPP.h"

// A board's data store could not be locked in time; carries the code to set.
class lock_error : public std::exception {
  public:
    explicit lock_error(error_code code) : error_(code) {}
    error_code getError() const { return error_; }

  private:
    error_code error_;
};

// The identifier names no chain of the registry.
class invalid_serial : public std::exception {
  public:
    invalid_serial();
};

// The operation is refused while the board acquires.
class running_error : public std::exception {
  public:
    running_error();
};

// A firmware image is not meant for the board's FPGA.
class bit_error : public std::exception {
  public:
    bit_error();
};

// A firmware file does not exist.
class file_not_found : public std::exception {
  public:
    file_not_found();
};

// The operation is not supported by the firmware, by the transport, or by a
// chain that discovery did not accept.
class fw_unsupported : public std::exception {
  public:
    fw_unsupported();
};
