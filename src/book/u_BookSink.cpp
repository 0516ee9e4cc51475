#include "u_BookSink.h"

namespace {

class TRaisingSink final : public IBookSink {
public:
  void Failure(std::string, std::int32_t, const Exception&, std::string) override { throw; }
  void Error(std::string, std::int32_t, std::string) override {}
  void Note(std::string, std::int32_t, std::string) override {}
};

}  // namespace

IBookSink& RaisingBookSink() {
  static TRaisingSink sink;
  return sink;
}
