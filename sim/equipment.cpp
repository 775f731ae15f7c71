#include "sim/equipment.h"

namespace kelvra::sim {

Equipment make_equipment(const EquipmentShape& shape) {
  Equipment equipment;
  equipment.ac.inputs.resize(static_cast<std::size_t>(shape.ac_inputs));
  equipment.rectifiers.modules.resize(static_cast<std::size_t>(shape.rectifiers));
  equipment.dc.resize(static_cast<std::size_t>(shape.dc_units));
  return equipment;
}

}  // namespace kelvra::sim
