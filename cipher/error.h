#pragma once
// The one error type of the program. Every failure carries a number and a
// description; every error trap catches this type and reports both. It lives
// with the cipher, the lowest layer, so the cipher can raise it without Qt.
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace zv {

class Error : public std::exception {
  public:
    Error(std::int32_t number, std::string description)
        : number_(number), description_(std::move(description)) {}
    std::int32_t number() const noexcept { return number_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::int32_t number_;
    std::string description_;
};

// Numbers operators know from the original platform's controls.
namespace errc {
constexpr std::int32_t Overflow = 6;
constexpr std::int32_t TypeMismatch = 13;
constexpr std::int32_t PermissionDenied = 70;
constexpr std::int32_t FileAccess = 75;  // "Path/File access error": settings not writable
constexpr std::int32_t InvalidPropertyValue = 380;
constexpr std::int32_t CipherFailure = -2147221504;  // 0x80040000
constexpr std::int32_t PortNotFound = 8002;
constexpr std::int32_t PortInUse = 8005;
constexpr std::int32_t PortClosed = 8012;
constexpr std::int32_t SerialIo = 8020;  // read or write failed on an open port
constexpr std::int32_t AddressInUse = 10048;
constexpr std::int32_t AddressNotAvailable = 10049;  // bind address not on this machine
constexpr std::int32_t SocketFailure = 10004;        // other socket failures, with Qt's text
constexpr std::int32_t NotConnected = 40006;         // SendData/Accept in the wrong state
}  // namespace errc

}  // namespace zv
