// Scenarios: the equipment's starting values and a timeline of changes, read from JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/equipment.h"
#include "sim/faults.h"

namespace kelvra::sim {

// A refused scenario; the message names the offending field.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class UnitKind : std::uint8_t { kAcUnit, kAcInput, kShelf, kModule, kDcUnit };

// One settable value of the model, e.g. "ac1.phase_a", "rect*.value", "dc1.battery1_low".
struct FieldPath {
  std::string text;
  UnitKind unit;
  int unit_index;     // 0-based; -1 for every unit present ("*")
  std::size_t field;  // row of the unit's field table
  int element;        // 0-based element of a numbered field
};

// A float, or nullopt for "missing" (sent as the invalid marker).
using FieldValue = Reading;

struct FieldSetting {
  FieldPath path;
  FieldValue value;
};

struct ScenarioEvent {
  double at_seconds = 0;
  std::string note;
  std::vector<FieldSetting> settings;
};

struct Scenario {
  std::string name;
  EquipmentShape shape;
  std::optional<DcFormat> dc_format;
  std::vector<FieldSetting> initial;
  std::vector<ScenarioEvent> timeline;  // sorted by time
  std::vector<std::pair<FaultKind, double>> faults;
};

Scenario parse_scenario(const std::string& json_text, const std::string& name);
Scenario load_scenario_file(const std::string& file_path);
// Built-in scenarios by name; nullopt for an unknown name.
std::optional<Scenario> builtin_scenario(const std::string& name);
std::vector<std::string> builtin_scenario_names();
// The settable field names, for --help.
std::string field_reference();

// Writes the setting into every unit it names that the equipment has; returns how many.
int apply(const FieldSetting& setting, Equipment& equipment);

// Hands out each timeline event once, when its time has come.
class ScenarioPlayer {
 public:
  explicit ScenarioPlayer(std::vector<ScenarioEvent> timeline) : timeline_(std::move(timeline)) {}
  std::vector<ScenarioEvent> take_due(double elapsed_seconds);
  bool finished() const { return next_ == timeline_.size(); }

 private:
  std::vector<ScenarioEvent> timeline_;
  std::size_t next_ = 0;
};

}  // namespace kelvra::sim
