#include "northbound/mqtt_reason.h"

#include <mosquitto.h>

#include <cstring>

namespace kelvra::northbound {
namespace {

// The codes of the library's header that its mosquitto_strerror answers "Unknown error." for.
const char* words_of(int rc) {
  switch (rc) {
    case MOSQ_ERR_KEEPALIVE:
      return "no answer from the broker within the keep-alive";
    case MOSQ_ERR_LOOKUP:
      return "the broker's name did not resolve";
    case MOSQ_ERR_MALFORMED_PACKET:
      return "malformed packet from the broker";
    case MOSQ_ERR_TIMEOUT:
      return "timed out";
    case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
      return "the broker does not take retained messages";
    case MOSQ_ERR_TOPIC_ALIAS_INVALID:
      return "invalid topic alias";
    case MOSQ_ERR_ADMINISTRATIVE_ACTION:
      return "disconnected by the broker's administrator";
    case MOSQ_ERR_ALREADY_EXISTS:
      return "already exists";
    default:
      return nullptr;
  }
}

}  // namespace

std::string mqtt_error_text(int rc, int error_number) {
  if (rc == MOSQ_ERR_ERRNO) return error_number != 0 ? std::strerror(error_number) : "system error";
  if (const char* words = words_of(rc)) return words;
  const std::string text = mosquitto_strerror(rc);
  if (text.rfind("Unknown error", 0) == 0) return "libmosquitto error " + std::to_string(rc);
  return text;
}

}  // namespace kelvra::northbound
