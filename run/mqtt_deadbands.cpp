#include "run/mqtt_deadbands.h"

#include <cmath>

#include "record/kelvra_419_fields.h"

namespace kelvra::run {

Deadbands read_deadbands(const hostkit::JsonNode& node) {
  hostkit::JsonObjectReader object = node.object();
  Deadbands deadbands;
  for (const auto& [name, member] : object.members()) {
    const record::FieldDescription field = record::describe_field(name);
    if (field.spec == nullptr) member.fail("unknown field");
    if (field.spec->kind != record::FieldKind::reading) member.fail("not a reading");
    const double deadband = member.number();
    if (!std::isfinite(deadband) || deadband < 0) {
      member.fail("expected a number from 0 up, in " + std::string(field.unit));
    }
    deadbands[name] = deadband;
  }
  return deadbands;
}

}  // namespace kelvra::run
