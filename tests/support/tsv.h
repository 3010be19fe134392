// Tab-separated manifests written by scripts/make-test-images.sh.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrova::test {

// The rows of a file that have exactly `columns` cells.
inline std::vector<std::vector<std::string>> ReadTsv(const std::string& path, std::size_t columns) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) cells.push_back(cell);
    if (cells.size() == columns) rows.push_back(std::move(cells));
  }
  return rows;
}

}  // namespace kestrova::test
