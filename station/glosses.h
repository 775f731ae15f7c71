// English glosses of the device's own texts (alarm names and texts, value refusals), shown beside
// them with --lang en. The device's texts themselves are never changed.
#pragma once

#include <string>

namespace kelvra::station {

// The English gloss of a text the device uses; empty when there is none.
std::string english_gloss(const std::string& device_text);

// "text (gloss)" when there is a gloss, else the text as it is.
std::string with_english_gloss(const std::string& device_text);

}  // namespace kelvra::station
