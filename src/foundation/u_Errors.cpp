#include "u_Errors.h"

std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  auto arg = args.begin();
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%' || i + 1 >= fmt.size()) {
      out += c;
      continue;
    }
    char kind = fmt[i + 1];
    if (kind == '%') {
      out += '%';
      ++i;
      continue;
    }
    if ((kind != 's' && kind != 'd') || arg == args.end()) {
      out += c;
      continue;
    }
    if (const auto* s = std::get_if<std::string_view>(&*arg))
      out.append(*s);
    else
      out += std::to_string(std::get<std::int64_t>(*arg));
    ++arg;
    ++i;
  }
  return out;
}
