#include "tools/check/json_document.h"

#include <cstdlib>

namespace VardokCheck {

namespace {

// The deepest nesting of body, counted to at most limit + 1: brackets in
// strings do not count.
size_t nesting(std::string_view body, size_t limit) {
  size_t depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest && (deepest = depth) > limit) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

JsonRead readJson(std::string_view body) {
  JsonRead read;
  if (nesting(body, kMaxJsonDepth) > kMaxJsonDepth) {
    read.failure = "nested too deeply (more than " + std::to_string(kMaxJsonDepth) + " levels)";
    return read;
  }
  try {
    read.document = nlohmann::json::parse(body.begin(), body.end());
  } catch (const nlohmann::json::exception& error) {
    // The parser refuses a number a double cannot hold; say which.
    const std::string what = error.what();
    const size_t overflow = what.find("number overflow parsing '");
    if (overflow != std::string::npos) {
      const size_t start = overflow + 25;
      std::string number = what.substr(start, what.find('\'', start) - start);
      if (number.size() > 40) number = number.substr(0, 40) + "...";
      read.failure = "the number " + number + " is too large to read";
    } else {
      read.failure = "not JSON";
    }
  }
  return read;
}

std::string jsonText(const nlohmann::json& value, size_t most) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return text.size() <= most ? text : text.substr(0, most) + "...";
  }
  std::string out;
  struct Frame {
    const nlohmann::json* node;
    nlohmann::json::const_iterator next;
    bool first;
  };
  std::vector<Frame> stack;
  const auto open = [&](const nlohmann::json& node) {
    if (node.is_object() || node.is_array()) {
      out += node.is_object() ? '{' : '[';
      stack.push_back({&node, node.cbegin(), true});
    } else {
      out += node.dump();  // a scalar: a string quoted and escaped as JSON writes it
    }
  };
  open(value);
  while (!stack.empty() && out.size() <= most) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->cend()) {
      out += frame.node->is_object() ? '}' : ']';
      stack.pop_back();
      continue;
    }
    if (!frame.first) out += ',';
    frame.first = false;
    if (frame.node->is_object()) out += nlohmann::json(frame.next.key()).dump() + ":";
    const nlohmann::json& child = *frame.next;
    ++frame.next;
    open(child);  // may grow the stack: frame is not used after this
  }
  if (out.size() > most) out = out.substr(0, most) + "...";
  return out;
}

bool readJsonPath(const std::string& path, std::vector<JsonStep>* steps) {
  size_t at = 0;
  while (at < path.size()) {
    if (path[at] == '[') {
      const size_t close = path.find(']', at);
      if (close == std::string::npos || close == at + 1) return false;
      const std::string digits = path.substr(at + 1, close - at - 1);
      if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return false;
      steps->push_back({std::string(), std::strtol(digits.c_str(), nullptr, 10)});
      at = close + 1;
      if (at < path.size() && path[at] == '.') ++at;
      continue;
    }
    const size_t end = path.find_first_of(".[", at);
    const std::string key = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (key.empty()) return false;
    steps->push_back({key, -1});
    at = end == std::string::npos ? path.size() : end + (path[end] == '.' ? 1 : 0);
  }
  return !steps->empty();
}

const nlohmann::json* jsonAt(const nlohmann::json& document, const std::vector<JsonStep>& steps) {
  const nlohmann::json* value = &document;
  for (const JsonStep& step : steps) {
    if (step.index >= 0) {
      if (!value->is_array() || static_cast<size_t>(step.index) >= value->size()) return nullptr;
      value = &(*value)[static_cast<size_t>(step.index)];
    } else {
      if (!value->is_object()) return nullptr;
      const auto found = value->find(step.key);
      if (found == value->end()) return nullptr;
      value = &*found;
    }
  }
  return value;
}

std::string jsonString(const nlohmann::json& value, const char* key, const std::string& fallback) {
  if (!value.is_object()) return fallback;
  const auto found = value.find(key);
  return found != value.end() && found->is_string() ? found->get<std::string>() : fallback;
}

const char* jsonKind(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object:
      return "an object";
    case nlohmann::json::value_t::array:
      return "an array";
    case nlohmann::json::value_t::string:
      return "a string";
    case nlohmann::json::value_t::boolean:
      return "a boolean";
    case nlohmann::json::value_t::null:
      return "null";
    case nlohmann::json::value_t::discarded:
      return "nothing";
    default:
      return "a number";
  }
}

}  // namespace VardokCheck
