// Why libmosquitto ended or refused a session, in words a field engineer can act on.
#pragma once

#include <string>

namespace kelvra::northbound {

// The text of a libmosquitto result code (MOSQ_ERR_*); `error_number` is errno as it was when
// the call returned MOSQ_ERR_ERRNO. Codes the library has no words for are named, never left as
// "Unknown error".
std::string mqtt_error_text(int rc, int error_number);

}  // namespace kelvra::northbound
