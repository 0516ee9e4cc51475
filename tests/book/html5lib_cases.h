// The html5lib project's encoding-detection cases, as saved in tests/data/html5lib-encoding.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace html5lib {

struct TCase {
  std::string File;
  int Number = 0;  // from 1 within its file
  std::string Data;
  std::string Encoding;  // lower case
};

inline std::vector<TCase> EncodingCases(const std::filesystem::path& folder) {
  std::vector<TCase> cases;
  for (const char* name : {"tests1.dat", "tests2.dat", "test-yahoo-jp.dat"}) {
    std::ifstream in(folder / name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    int number = 0;
    for (std::size_t at = text.find("#data\n"); at != std::string::npos;) {
      const std::size_t data = at + 6;
      const std::size_t mark = text.find("\n#encoding\n", data);
      if (mark == std::string::npos) break;
      const std::size_t value = mark + 11;
      const std::size_t end = text.find('\n', value);
      TCase c{name, ++number, text.substr(data, mark - data), text.substr(value, end - value)};
      for (char& ch : c.Encoding) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      cases.push_back(std::move(c));
      at = text.find("#data\n", end);
    }
  }
  return cases;
}

}  // namespace html5lib
