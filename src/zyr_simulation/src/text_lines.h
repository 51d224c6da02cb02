// Line-oriented reading of the simulator's small description files (scenes and
// pilot scripts): '#' comments, blank lines, whitespace-separated words, and
// numbers that must be read whole and finite.
#ifndef ZYR_SIMULATION_TEXT_LINES_H
#define ZYR_SIMULATION_TEXT_LINES_H

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zyr_simulation
{
namespace text
{
struct Line
{
  int number = 0;
  std::vector<std::string> words;
};

inline std::runtime_error error(const std::string& source, int line, const std::string& what)
{
  return std::runtime_error(source + ":" + std::to_string(line) + ": " + what);
}

// Every line that holds something besides a comment.
inline std::vector<Line> readLines(std::istream& in)
{
  std::vector<Line> lines;
  std::string text;
  int number = 0;
  while (std::getline(in, text))
  {
    ++number;
    const std::string::size_type hash = text.find('#');
    if (hash != std::string::npos)
      text.erase(hash);
    std::istringstream words(text);
    Line line;
    line.number = number;
    std::string word;
    while (words >> word)
      line.words.push_back(word);
    if (!line.words.empty())
      lines.push_back(line);
  }
  if (in.bad())
    throw std::runtime_error("read error");
  return lines;
}

inline double number(const std::string& word, const std::string& source, int line)
{
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(word.c_str(), &end);
  if (end == word.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
    throw error(source, line, "'" + word + "' is not a finite number");
  return value;
}

}  // namespace text
}  // namespace zyr_simulation

#endif
