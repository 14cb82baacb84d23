// A JSON document as vardok-check's json, prom and alerts commands read
// one that a server sent: bounded in depth before it is parsed, read
// without throwing, and shown in a bounded text without recursion, so that
// no document can exhaust the stack or the time. Platform-free.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace VardokCheck {

// The deepest nesting of arrays and objects a document may have.
constexpr size_t kMaxJsonDepth = 512;

struct JsonRead {
  nlohmann::json document;
  std::string failure;  // empty: read; else "nested too deeply", "not JSON", ...
};

// body parsed, or the reason it cannot be: nested deeper than kMaxJsonDepth
// ("nested too deeply (more than 512 levels)"), a number past the range of
// a double ("the number 1e400 is too large"), or "not JSON".
JsonRead readJson(std::string_view body);

// value as compact JSON text, a string as it stands, at most `most` bytes
// (then "..."). Written with a stack of its own, not by recursion.
std::string jsonText(const nlohmann::json& value, size_t most = static_cast<size_t>(-1));

// A step of a path such as a.b[0].c: a key, or an index in brackets.
struct JsonStep {
  std::string key;
  long index = -1;  // >= 0: an array index
};
// path into steps; false for a path that cannot be read.
bool readJsonPath(const std::string& path, std::vector<JsonStep>* steps);

// The value at steps in document, or null when there is none.
const nlohmann::json* jsonAt(const nlohmann::json& document, const std::vector<JsonStep>& steps);

// The text at key of an object, or fallback when value is no object or
// the key holds no string.
std::string jsonString(const nlohmann::json& value, const char* key, const std::string& fallback = std::string());

// "an array", "a number", "a string": what a value is, for the words of an
// answer of the wrong shape.
const char* jsonKind(const nlohmann::json& value);

}  // namespace VardokCheck
