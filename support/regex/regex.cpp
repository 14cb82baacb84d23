#include "support/regex/regex.h"

#include <clocale>
#include <cstdlib>
#include <mutex>

#include <pcre.h>

#include "support/assert.h"

namespace Quorlin {

namespace {

const char kNoClosingDelimiter[] = "Closing delimiter not found!";

int letterFlag(char letter) {
  switch (letter) {
    case 'i': return PCRE_CASELESS;
    case 'm': return PCRE_MULTILINE;
    case 's': return PCRE_DOTALL;
    case 'x': return PCRE_EXTENDED;
    case 'A': return PCRE_ANCHORED;
    case 'D': return PCRE_DOLLAR_ENDONLY;
    case 'X': return PCRE_EXTRA;
    case 'B': return PCRE_NOTBOL;
    case 'N': return PCRE_NOTEOL;
    case 'U': return PCRE_UNGREEDY;
    case 'E': return PCRE_NOTEMPTY;
    case '8': return PCRE_UTF8;
    default: return 0;
  }
}

// Building tables switches the whole process's locale; one build at a time.
std::mutex g_localeLock;

}  // namespace

static_assert(RegEx::kMatchTimeFlags == (PCRE_ANCHORED | PCRE_NOTBOL | PCRE_NOTEOL | PCRE_NOTEMPTY),
              "match-time flags");

// --- Locale ---

RegEx::Locale::Locale(const char* name) : _tables(nullptr) {
  QUORLIN_ASSERT(name != nullptr, "locale");
  std::lock_guard<std::mutex> guard(g_localeLock);
  const int categories[] = {LC_COLLATE, LC_CTYPE, LC_MONETARY, LC_NUMERIC, LC_TIME};
  std::string saved[5];
  for (int i = 0; i < 5; ++i) {
    const char* current = setlocale(categories[i], nullptr);
    saved[i] = current ? current : "C";
  }
  if (name) setlocale(LC_ALL, name);
  _tables = pcre_maketables();
  for (int i = 0; i < 5; ++i) setlocale(categories[i], saved[i].c_str());
}

RegEx::Locale::~Locale() {
  if (_tables) pcre_free(const_cast<unsigned char*>(_tables));
}

// --- Compiled ---

RegEx::Compiled::Compiled(const std::string& pattern, const boost::shared_ptr<Locale>& locale, int flags) {
  const size_t close = pattern.empty() ? std::string::npos : pattern.rfind(pattern[0]);
  if (close == std::string::npos || close == 0) throw CompileException{kNoClosingDelimiter, -1};

  boost::shared_ptr<Locale> named;
  for (size_t i = close + 1; i < pattern.size(); ++i) {
    if (pattern[i] == 'L') {
      named.reset(new Locale(pattern.c_str() + i + 1));
      break;
    }
    flags |= letterFlag(pattern[i]);
  }
  _flags = flags;
  compile(pattern.substr(1, close - 1), named ? named : locale);
}

RegEx::Compiled::Compiled(const std::string& expression, int flags, const boost::shared_ptr<Locale>& locale)
    : _flags(flags) {
  compile(expression, locale);
}

void RegEx::Compiled::compile(const std::string& expression, const boost::shared_ptr<Locale>& locale) {
  const char* error = nullptr;
  int offset = 0;
  const unsigned char* tables = locale ? locale->tables() : nullptr;
  _compiled = pcre_compile(expression.c_str(), getCompileFlags(), &error, &offset, tables);
  if (!_compiled) throw CompileException{error, offset};
  // PCRE reads the tables at every match: keep them as long as the code.
  if (tables) _locale = locale;
}

RegEx::Compiled::~Compiled() {
  if (_compiled) free(_compiled);
  if (_extra) free(_extra);
}

int RegEx::Compiled::getCaptureCount() const {
  int count = 0;
  if (_compiled) pcre_fullinfo(_compiled, _extra, PCRE_INFO_CAPTURECOUNT, &count);
  return count;
}

int RegEx::Compiled::getCompileFlags() const { return _flags & ~kMatchTimeFlags; }

bool RegEx::Compiled::isUtf8() const {
  // The options the pattern compiled with, including those it switches on
  // itself, such as a leading (*UTF8).
  unsigned long options = 0;
  if (_compiled) pcre_fullinfo(_compiled, _extra, PCRE_INFO_OPTIONS, &options);
  return (options & PCRE_UTF8) != 0 || (_flags & PCRE_UTF8) != 0;
}
int RegEx::Compiled::getMatchFlags() const { return _flags & kMatchTimeFlags; }

// --- RegEx ---

RegEx::RegEx() = default;

RegEx::~RegEx() { delete[] _vector; }

boost::shared_ptr<RegEx::Compiled> RegEx::compile(const std::string& pattern,
                                                  const boost::shared_ptr<Locale>& locale, int flags) {
  return boost::shared_ptr<Compiled>(new Compiled(pattern, locale, flags));
}

void RegEx::setPattern(const std::string& pattern) { setCompiled(compile(pattern)); }

void RegEx::setCompiled(const boost::shared_ptr<Compiled>& compiled) {
  if (compiled) {
    const int needed = 4 * compiled->getCaptureCount() + 8;
    if (_vectorSize < needed) {
      delete[] _vector;
      _vector = new int[needed]();
      _vectorSize = needed;
    }
  }
  _compiled = compiled;
  // The offsets belong to the previous pattern's match, if any.
  _result = -1;
}

void RegEx::setSubject(const std::string& subject) {
  _result = -1;
  _start = 0;
  _subject = subject;
}

int RegEx::exec() {
  _result = -1;
  QUORLIN_ASSERT(_compiled, "regex");
  if (!_compiled) return _result;
  int options = _compiled->getMatchFlags();
  if (_start > 0) options |= PCRE_NOTBOL;
  _result = pcre_exec(_compiled->code(), _compiled->extra(), _subject.data(),
                      static_cast<int>(_subject.size()), _start, options, _vector, _vectorSize);
  return _result;
}

int RegEx::match() {
  exec();
  return getSubsCount();
}

int RegEx::match(const std::string& pattern, const std::string& subject) {
  setPattern(pattern);
  setSubject(subject);
  return match();
}

std::string RegEx::getSub(int index) const {
  if (index < 0 || index >= _result || _vector[2 * index] < 0) return std::string();
  return _subject.substr(_vector[2 * index], _vector[2 * index + 1] - _vector[2 * index]);
}

std::string RegEx::expandReplacement(const std::string& replacement) const {
  std::string out;
  out.reserve(replacement.size());
  for (size_t i = 0; i < replacement.size(); ++i) {
    const char c = replacement[i];
    if ((c == '$' || c == '\\') && i + 1 < replacement.size()) {
      const char next = replacement[i + 1];
      if (next == '&' || (next >= '0' && next <= '9')) {
        out += getSub(next == '&' ? 0 : next - '0');
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::string RegEx::replace(const std::string& replacement, int limit) {
  const int size = static_cast<int>(_subject.size());
  const bool utf8 = _compiled && _compiled->isUtf8();
  std::string out;
  if (_start != 0) out.append(_subject, 0, _start);

  for (int count = 0; limit == 0 || count < limit; ++count) {
    if (_start > size || match() <= 0) break;
    const int matchStart = _vector[0];
    const int matchEnd = _vector[1];
    out.append(_subject, _start, matchStart - _start);
    out += expandReplacement(replacement);
    _start = matchEnd;
    if (matchEnd == matchStart) {
      // An empty match: copy one character and search on after it, or the
      // loop would find the same empty match for ever.
      if (_start < size) {
        int next = _start + 1;
        while (utf8 && next < size && (static_cast<unsigned char>(_subject[next]) & 0xC0) == 0x80) ++next;
        out.append(_subject, _start, next - _start);
        _start = next;
      } else {
        _start = size + 1;
      }
    }
  }
  if (_start < size) out.append(_subject, _start, std::string::npos);
  resetStart();
  return out;
}

std::string RegEx::replace(const std::string& pattern, const std::string& replacement,
                           const std::string& subject, int limit) {
  setPattern(pattern);
  setSubject(subject);
  return replace(replacement, limit);
}

std::string RegEx::doReplace(const std::string& pattern, const std::string& replacement,
                             const std::string& subject, int limit) {
  RegEx regex;
  return regex.replace(pattern, replacement, subject, limit);
}

}  // namespace Quorlin
