// Where reading a book sends what it finds at fault. The book is read by the same steps for the
// reader and for the author's check; only the sink differs. The viewer's raises the first failure
// (a book that does not read does not start); the check's report collects every finding with
// file and line, and the steps go on without what a failure would have made.
#pragma once

#include <cstdint>
#include <string>

#include "u_Errors.h"

class IBookSink {
public:
  virtual ~IBookSink() = default;
  // Called while `e` is being handled. told: the author's wording, where the check says more than
  // the reader is told. Returns only when the sink collects.
  virtual void Failure(std::string file, std::int32_t line, const Exception& e, std::string told = {}) = 0;
  // Findings that keep no book from starting: an author hears of them, a reader never does.
  virtual void Error(std::string file, std::int32_t line, std::string message) = 0;
  virtual void Note(std::string file, std::int32_t line, std::string message) = 0;
};

// The viewer's sink: every failure raises, findings are dropped.
IBookSink& RaisingBookSink();
