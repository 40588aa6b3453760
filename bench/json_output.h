// The benchmark programs hand their raw samples to the harness as one JSON object of numbers
// and arrays of numbers on standard output; the harness does the statistics.
#pragma once

#include <string>
#include <vector>

namespace bench {

class JsonObject {
  public:
    void add(const std::string& name, double value);
    void add(const std::string& name, const std::vector<double>& values);
    // Writes the object and a newline to standard output.
    void print() const;

  private:
    std::string fields_;
};

}  // namespace bench
