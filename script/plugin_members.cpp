#include "script/plugin_members.h"

#include "device/kelvra_419.h"

namespace scripted_host {

std::optional<PluginMembers> plugin_members(const PMBusProtocol& device) {
  if (device.DeviceType() != "kelvra_419") return std::nullopt;
  // The plug-in is built from this tree's headers by the same compiler, so its object has the
  // layout of kelvra_419 as compiled here; its type information is hidden in the library, which
  // rules out dynamic_cast, and the device type checked above stands in for it.
  const auto& model = static_cast<const kelvra_419&>(device);
  const unsigned char* record = model.record_bytes();
  return PluginMembers{{record, record + kelvra_419::kRecordSize},
                       model.no_dc_number_,
                       model.has_ac_,
                       model.has_dc_,
                       model.b_mode_};
}

}  // namespace scripted_host
