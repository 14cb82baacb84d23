// Quorlin::RegEx: regular expressions written as one delimited pattern
// string, over PCRE.
//
// A pattern is a delimiter byte, the expression, the same delimiter again
// and option letters: "#http:(//+?)#i". The closing delimiter is the LAST
// occurrence of the opening byte, so the expression may contain it freely
// and there is no escaping. Option letters (case-sensitive; any other byte
// is ignored, a repeated letter changes nothing):
//
//   i caseless  m multiline  s dotall  x extended  D dollar-endonly
//   X extra     U ungreedy   8 UTF-8                  (compile time)
//   A anchored  B notbol     N noteol  E notempty     (every match)
//   L the rest of the pattern names a C-runtime locale for the tables
//
// All text is bytes; offsets are byte offsets.
//
// Threads: a RegEx belongs to one thread at a time. A Compiled is immutable
// and may be shared by RegEx objects on any threads. Building a Locale
// switches the process's C-runtime locale for a moment; builds are
// serialised with each other, not with other users of the locale.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

struct real_pcre;
struct pcre_extra;

namespace Quorlin {

class RegEx {
 public:
  // Thrown by value when a pattern does not compile.
  struct CompileException {
    const char* message;  // static text: PCRE's message or "Closing delimiter not found!"
    int offset;           // from the first byte of the expression; -1 for the delimiter error
  };

  // Character tables built by PCRE under a named C-runtime locale.
  class Locale {
   public:
    // name as setlocale accepts it; an unknown name leaves the tables of
    // the locale in force, an empty one takes the environment's default.
    explicit Locale(const char* name);
    ~Locale();
    Locale(const Locale&) = delete;
    Locale& operator=(const Locale&) = delete;

    // Null when PCRE could not allocate them.
    const unsigned char* tables() const { return _tables; }

   private:
    const unsigned char* _tables;
  };

  // A compiled pattern. Immutable; keeps the Locale whose tables it uses
  // alive for as long as it lives.
  class Compiled {
   public:
    // A delimited pattern with option letters; flags are OR-ed with the
    // letters' bits. Throws CompileException.
    Compiled(const std::string& pattern, const boost::shared_ptr<Locale>& locale, int flags);
    // A bare expression. Throws CompileException.
    Compiled(const std::string& expression, int flags, const boost::shared_ptr<Locale>& locale);
    ~Compiled();
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;

    int getCaptureCount() const;
    // The flags without the match-time group (A, B, N, E).
    int getCompileFlags() const;
    // Whether the pattern matches UTF-8 characters: letter 8, or (*UTF8)
    // at its start (read back from PCRE).
    bool isUtf8() const;
    // Only the match-time group, mask 0x590.
    int getMatchFlags() const;

    real_pcre* code() const { return _compiled; }
    pcre_extra* extra() const { return _extra; }

   private:
    void compile(const std::string& expression, const boost::shared_ptr<Locale>& locale);

    real_pcre* _compiled = nullptr;
    pcre_extra* _extra = nullptr;  // never studied: stays null
    int _flags = 0;
    boost::shared_ptr<Locale> _locale;
  };

  static constexpr int kMatchTimeFlags = 0x590;

  RegEx();
  ~RegEx();
  RegEx(const RegEx&) = delete;
  RegEx& operator=(const RegEx&) = delete;

  // Compiles a delimited pattern anew (there is no cache).
  static boost::shared_ptr<Compiled> compile(const std::string& pattern,
                                             const boost::shared_ptr<Locale>& locale = {}, int flags = 0);

  // Installs a compiled pattern; on a compile error the object is unchanged.
  void setPattern(const std::string& pattern);
  // Installs compiled (may be empty). Grows the offset vector to hold
  // 4 x groups + 8 integers; it never shrinks. Subject, start and result
  // stay as they are.
  void setCompiled(const boost::shared_ptr<Compiled>& compiled);

  // Copies the subject; clears the result (-1) and the start position.
  void setSubject(const std::string& subject);
  void resetStart() { _start = 0; }

  // One match from the start position (with NOTBOL when it is past 0).
  // Answers the raw result, also kept in _result:
  //   n > 0  a match; the first n offset pairs are valid (pair 0 the whole
  //          match, pair k group k; a group below n that did not take part
  //          has -1 offsets);
  //   -1     no match, or no pattern installed (a debug assertion reports
  //          the latter);
  //   < -1   a PCRE error: match limit exceeded, invalid UTF-8 with letter 8.
  // Sub-matches may be clobbered by a failed match.
  int exec();
  // exec(), then the sub-match count: max(result, 0).
  int match();
  // setPattern, setSubject, match. Throws CompileException before it
  // touches the subject.
  int match(const std::string& pattern, const std::string& subject);
  int getSubsCount() const { return _result > 0 ? _result : 0; }

  // The text of sub-match index of the last match; empty for no match, an
  // index out of range, or a group that did not take part.
  std::string getSub(int index) const;

  // Fills in $0-$9, \0-\9 (one digit only), $& and \& (the whole match).
  // Any other $ or \ is copied as it is; there is no escape character.
  std::string expandReplacement(const std::string& replacement) const;

  // The subject with matches replaced, left to right, without overlap.
  // limit 0 replaces every match, a positive limit at most that many, a
  // negative one none. From the second match on the search runs with
  // NOTBOL, so "^" without multiline replaces at most once. After an empty
  // match one byte (one character with letter 8) is copied and the search
  // moves past it, so the loop always ends. The start position is 0 again
  // afterwards.
  std::string replace(const std::string& replacement, int limit);
  std::string replace(const std::string& pattern, const std::string& replacement,
                      const std::string& subject, int limit);
  static std::string doReplace(const std::string& pattern, const std::string& replacement,
                               const std::string& subject, int limit);

  int result() const { return _result; }
  int start() const { return _start; }
  int vectorSize() const { return _vectorSize; }
  const boost::shared_ptr<Compiled>& compiled() const { return _compiled; }

 private:
  boost::shared_ptr<Compiled> _compiled;
  int* _vector = nullptr;
  int _vectorSize = 0;
  int _start = 0;
  int _result = -1;
  std::string _subject;
};

}  // namespace Quorlin
