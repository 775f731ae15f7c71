#include <cstring>
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "record/kelvra_419_fields.h"

namespace {

using kelvra::record::FieldValue;

// A record from bytes written at their offsets, zero elsewhere.
std::vector<std::uint8_t> record_bytes(
    const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& writes) {
  std::vector<std::uint8_t> bytes(763, 0);
  for (const auto& [offset, data] : writes)
    std::copy(data.begin(), data.end(), bytes.begin() + offset);
  return bytes;
}

const std::vector<std::uint8_t> kSample = record_bytes({
    {0, {0x01, 0x02, 0x00, 0x00}},                      // data_id 513
    {20, {0x02}},                                       // ac.channel_count
    {37, {0x00, 0x00, 0x66, 0x43}},                     // ac.channel[0].a 230 V
    {74, {0x00, 0x00, 0x48, 0x42}},                     // ac.channel[1].f 50 Hz
    {87, {0x00, 0x00, 0x56, 0x42}},                     // rc.group_value 53.5 V
    {91, {0x02}},                                       // rc.channel_count
    {104, {0x00, 0x00, 0x44, 0x41}},                    // rc.channel[1].value 12.25 A
    {576, {0x00, 0x00, 0x56, 0x42}},                    // dc.out_v 53.5 V
    {580, {0x00, 0x00, 0x20, 0xC2}},                    // dc.out_i -40 A
    {584, {0x01}},                                      // dc.m_count
    {585, {0x00, 0x00, 0xC8, 0x41}},                    // dc.m[0] 25
    {664, {0xE9, 0x07, 0x0C, 0x08, 0x0E, 0x03, 0x05}},  // round_time 2025-12-08 14:03:05
    {675, {0x00, 0x00, 0x40, 0x42}},                    // dc2.out_v 48 V
});

std::map<std::string, FieldValue> fields_of(const std::vector<std::uint8_t>& bytes) {
  const auto record = kelvra::record::from_bytes(bytes.data(), bytes.size());
  EXPECT_TRUE(record.has_value());
  std::map<std::string, FieldValue> fields;
  kelvra::record::for_each_field(
      *record, [&](const FieldValue& field) { fields.emplace(field.name, field); });
  return fields;
}

TEST(RecordFields, NamesOffsetsAndValues) {
  const auto fields = fields_of(kSample);
  struct Case {
    const char* name;
    std::size_t offset;
    Json::Value value;
  } cases[] = {
      {"data_id", 0, 513u},
      {"ac.channel_count", 20, 2u},
      {"ac.channel[0].a", 37, 230.0},
      {"ac.channel[0].f", 49, 0.0},
      {"ac.channel[1].a", 62, 0.0},
      {"ac.channel[1].f", 74, 50.0},
      {"rc.group_value", 87, 53.5},
      {"rc.channel[0].value", 92, 0.0},
      {"rc.channel[1].value", 104, 12.25},
      {"rc.channel[1].alarm_state", 114, 0u},
      {"dc.out_v", 576, 53.5},
      {"dc.out_i", 580, -40.0},
      {"dc.m[0]", 585, 25.0},
      {"dc.out_v_state", 623, 0u},
      {"round_time", 664, "2025-12-08 14:03:05"},
      {"dc2.out_v", 675, 48.0},
  };
  for (const Case& expected : cases) {
    const auto found = fields.find(expected.name);
    ASSERT_NE(found, fields.end()) << expected.name;
    EXPECT_EQ(found->second.offset, expected.offset) << expected.name;
    if (expected.value.isString()) {
      EXPECT_EQ(found->second.value.asString(), expected.value.asString()) << expected.name;
    } else {
      EXPECT_EQ(found->second.value.asDouble(), expected.value.asDouble()) << expected.name;
    }
  }
}

TEST(RecordFields, CountsBoundWhatIsListed) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* listed;
    const char* not_listed;
  } cases[] = {
      {"two rectifiers", kSample, "rc.channel[1].value", "rc.channel[2].value"},
      {"one DC float", kSample, "dc.m[0]", "dc.m[1]"},
      {"one AC input", record_bytes({{20, {0x01}}}), "ac.channel[0].a", "ac.channel[1].a"},
      // A count above the room lists the room only.
      {"count 41 of 40", record_bytes({{91, {41}}}), "rc.channel[39].value",
       "rc.channel[40].value"},
      {"count 3 of 2", record_bytes({{20, {0x03}}}), "ac.channel[1].a", "ac.channel[2].a"},
  };
  for (const Case& c : cases) {
    const auto fields = fields_of(c.bytes);
    EXPECT_EQ(fields.count(c.listed), 1u) << c.what;
    EXPECT_EQ(fields.count(c.not_listed), 0u) << c.what;
  }
}

TEST(RecordFields, JsonNestsGroupsAndArrays) {
  const auto record = kelvra::record::from_bytes(kSample.data(), kSample.size());
  const Json::Value json = kelvra::record::to_json(*record);
  EXPECT_EQ(json["data_id"].asUInt(), 513u);
  EXPECT_EQ(json["ac"]["channel"].size(), 2u);
  EXPECT_EQ(json["ac"]["channel"][0]["a"].asDouble(), 230.0);
  EXPECT_EQ(json["rc"]["channel"][1]["value"].asDouble(), 12.25);
  EXPECT_EQ(json["dc"]["m"].size(), 1u);
  EXPECT_EQ(json["round_time"].asString(), "2025-12-08 14:03:05");
  EXPECT_EQ(json["dc2"]["out_v"].asDouble(), 48.0);
}

// Floats that are not numbers are listed as text and written as JSON null, which every reader
// takes; an infinity written as a number (1e+9999) is refused by readers that check its range.
TEST(RecordFields, FloatsThatAreNotNumbersAreNullInJson) {
  const auto bytes = record_bytes({
      {20, {0x01}},                     // ac.channel_count
      {37, {0x00, 0x00, 0x80, 0x7F}},   // ac.channel[0].a +inf
      {41, {0x00, 0x00, 0x80, 0xFF}},   // ac.channel[0].b -inf
      {45, {0x00, 0x00, 0xC0, 0x7F}},   // ac.channel[0].c NaN
      {576, {0x00, 0x00, 0x56, 0x42}},  // dc.out_v 53.5 V
  });
  const auto record = kelvra::record::from_bytes(bytes.data(), bytes.size());
  const Json::Value channel = kelvra::record::to_json(*record)["ac"]["channel"][0];
  for (const char* phase : {"a", "b", "c"}) EXPECT_TRUE(channel[phase].isNull()) << phase;
  EXPECT_EQ(kelvra::record::to_json(*record)["dc"]["out_v"].asDouble(), 53.5);
  const auto fields = fields_of(bytes);
  EXPECT_EQ(kelvra::record::float_text(fields.at("ac.channel[0].a").value.asFloat()), "inf");
  EXPECT_EQ(kelvra::record::float_text(fields.at("ac.channel[0].b").value.asFloat()), "-inf");
}

TEST(RecordFields, OnlyWholeRecordsAreTaken) {
  const std::vector<std::uint8_t> bytes(764, 0);
  EXPECT_FALSE(kelvra::record::from_bytes(bytes.data(), 762));
  EXPECT_FALSE(kelvra::record::from_bytes(bytes.data(), 764));
  EXPECT_FALSE(kelvra::record::from_bytes(nullptr, 763));
  EXPECT_TRUE(kelvra::record::from_bytes(bytes.data(), 763));
}

TEST(RecordFields, TimeAndFloatTexts) {
  const std::uint8_t unset[7] = {};
  EXPECT_EQ(kelvra::record::time_text(unset), "unset");
  const std::uint8_t new_year[7] = {0xEA, 0x07, 1, 1, 0, 0, 0};
  EXPECT_EQ(kelvra::record::time_text(new_year), "2026-01-01 00:00:00");
  struct Case {
    float value;
    const char* text;
  } cases[] = {{53.5f, "53.5"},   {230.0f, "230"}, {0.0f, "0"},
               {229.7f, "229.7"}, {-40.0f, "-40"}, {1234567.0f, "1234567"}};
  for (const Case& c : cases) EXPECT_EQ(kelvra::record::float_text(c.value), c.text);
}

}  // namespace

namespace {

// Every count at its room, and a non-zero byte in each DC unit, so that every part is fitted.
std::vector<std::uint8_t> full_record() {
  return record_bytes({{20, {2}},
                       {22, {4}},
                       {53, {0}},
                       {58, {3}},
                       {83, {3}},
                       {91, {40}},
                       {584, {3}},
                       {598, {6}},
                       {624, {20}},
                       {645, {11}},
                       {683, {3}},
                       {697, {6}},
                       {723, {20}},
                       {744, {11}}});
}

}  // namespace

// The table against itself: what every interface reads must agree with what it says.
TEST(FieldTable, EveryReadingHasABaseUnitAMetricAndADeviceClass) {
  const std::map<std::string, std::pair<const char*, const char*>> by_unit = {
      {"V", {"_volts", "voltage"}},
      {"A", {"_amperes", "current"}},
      {"Hz", {"_hertz", "frequency"}}};
  std::map<std::string, int> families;
  for (const auto& family : kelvra::record::metric_families()) families[family.name] = 0;
  for (const auto& spec : kelvra::record::field_specs()) {
    const std::string unit = spec.unit;
    if (spec.kind != kelvra::record::FieldKind::reading) {
      EXPECT_EQ(unit, "") << spec.pattern;
      EXPECT_EQ(spec.metric, nullptr) << spec.pattern;
      continue;
    }
    ASSERT_EQ(by_unit.count(unit), 1u) << spec.pattern << " has unit '" << unit << "'";
    ASSERT_NE(spec.metric, nullptr) << spec.pattern;
    const std::string metric = spec.metric;
    const std::string suffix = by_unit.at(unit).first;
    EXPECT_EQ(metric.substr(metric.size() - suffix.size()), suffix) << spec.pattern;
    EXPECT_EQ(std::string(spec.device_class), by_unit.at(unit).second) << spec.pattern;
    ASSERT_EQ(families.count(metric), 1u) << metric << " is not a declared family";
    ++families[metric];
  }
  for (const auto& [family, rows] : families) EXPECT_GT(rows, 0) << family << " has no field";
}

TEST(FieldTable, DeadbandsFollowTheSensorKind) {
  const std::map<std::string, double> expected = {
      {"ac.channel[].a", 1.0},     {"ac.channel[].f", 0.05}, {"rc.group_value", 0.1},
      {"rc.channel[].value", 0.5}, {"dc.out_v", 0.1},        {"dc.m[]", 0.5},
      {"dc.m_count", 0.0}};
  for (const auto& spec : kelvra::record::field_specs()) {
    const double deadband = kelvra::record::default_deadband(spec);
    const auto listed = expected.find(spec.pattern);
    if (listed != expected.end()) {
      EXPECT_EQ(deadband, listed->second) << spec.pattern;
    }
    EXPECT_EQ(deadband > 0, spec.kind == kelvra::record::FieldKind::reading) << spec.pattern;
  }
}

TEST(FieldTable, NamesLabelsAndMetricSamplesAreUniqueInAFullRecord) {
  const auto fields = fields_of(full_record());
  std::map<std::string, std::string> labels;
  std::map<std::string, std::string> samples;
  for (const auto& [name, field] : fields) {
    EXPECT_TRUE(labels.emplace(field.label, name).second)
        << name << " and " << labels[field.label] << " share the label " << field.label;
    EXPECT_EQ(kelvra::record::describe_field(name).label, field.label) << name;
    if (field.spec->metric == nullptr) continue;
    std::string sample = field.spec->metric;
    for (const auto& [label, value] : kelvra::record::metric_labels(field))
      sample += "," + label + "=" + value;
    EXPECT_TRUE(samples.emplace(sample, name).second) << name << " repeats " << sample;
  }
  EXPECT_EQ(samples.count("kelvra_battery_current_amperes,unit=2,battery=3"), 1u);
  EXPECT_EQ(samples.count("kelvra_ac_phase_volts,input=2,phase=c"), 1u);
}

// Parts that are not fitted have no fields at all, never zeros.
TEST(FieldTable, PartsThatAreNotFittedAreAbsent) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::vector<const char*> listed;
    std::vector<const char*> absent;
  } cases[] = {
      {"a fresh record",
       record_bytes({}),
       {"data_id", "round_time"},
       {"ac.channel_count", "rc.group_value", "dc.out_v", "dc2.out_v"}},
      {"two DC units", kSample, {"dc.out_v", "dc.m[0]", "dc2.out_v", "dc2.m_count"}, {"dc.m[1]"}},
      {"DC unit 2 never decoded",
       record_bytes({{576, {0x00, 0x00, 0x56, 0x42}}}),
       {"dc.out_v", "dc.out_i"},
       {"dc2.out_v", "dc2.out_i", "ac.extra[0]"}},
      {"a shelf without AC unit",
       record_bytes({{91, {1}}}),
       {"rc.group_value", "rc.channel[0].value"},
       {"ac.channel_count", "rc.channel[1].value"}},
  };
  for (const Case& c : cases) {
    const auto fields = fields_of(c.bytes);
    for (const char* name : c.listed) EXPECT_EQ(fields.count(name), 1u) << c.what << ": " << name;
    for (const char* name : c.absent) EXPECT_EQ(fields.count(name), 0u) << c.what << ": " << name;
  }
}

// One float format: the shortest decimal that reads back as the same float.
TEST(FieldTable, ReadingsAreTheShortestDecimalOfTheirFloat) {
  EXPECT_EQ(kelvra::record::reading_number(53.3f), 53.3);
  EXPECT_EQ(kelvra::record::reading_number(229.7f), 229.7);
  EXPECT_EQ(kelvra::record::float_text(16777217.0f), "16777216");
  EXPECT_EQ(kelvra::record::float_text(0.1f), "0.1");
  EXPECT_EQ(kelvra::record::float_text(1.00000012f), "1.0000001");
}
