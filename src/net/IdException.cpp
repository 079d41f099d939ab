#include "net/IdException.h"

#include "rtl/Format.h"

EIdWS2StubError::EIdWS2StubError(std::string heading, std::uint32_t systemErrorCode,
                                 std::string systemErrorText)
    : EIdException(heading),
      systemErrorCode_(systemErrorCode),
      systemErrorText_(systemErrorCode == 0 ? std::string() : std::move(systemErrorText)),
      heading_(std::move(heading)) {
  if (systemErrorCode_ != 0) SetMessage(heading_ + ": " + systemErrorText_);
}

EIdInvalidServiceName::EIdInvalidServiceName(std::string_view serviceName)
    : EIdException(Format("%s is not a valid service.", serviceName)) {}

EIdCanNotBindPortInRange::EIdCanNotBindPortInRange(std::int32_t portMin, std::int32_t portMax)
    : EIdSocketHandleError(Format("Can not bind in port range (%d - %d)", portMin, portMax)) {}

EIdInvalidPortRange::EIdInvalidPortRange(std::int32_t portMin, std::int32_t portMax)
    : EIdSocketHandleError(Format("Invalid Port Range (%d - %d)", portMin, portMax)) {}

EIdFileNotFound::EIdFileNotFound(std::string_view fileName)
    : EIdTCPConnectionError(Format("File \"%s\" not found", fileName)) {}
