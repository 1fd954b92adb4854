// Mean and standard error of a vector of samples by a named averaging method.
#pragma once

#include <string>
#include <vector>

namespace tarnwell {

struct AverageResult {
  double mean;
  double se;  // standard error of `mean`
};

// The mean by `method` (ASCII case ignored): "weighted" (only with `weights` of the samples'
// length), "harmonic", "geometric"; any other name gives the arithmetic mean. The standard
// error is taken about that mean with divisor n, divided by sqrt(n). Empty samples give
// {0.0, 0.0}. Throws std::invalid_argument for a geometric mean over a sample <= 0.
AverageResult average(const std::vector<double>& samples, const std::string& method,
                      const std::vector<double>* weights);

// The samples added in index order into one accumulator starting at +0.0.
double vector_sum(const std::vector<double>& samples);

}  // namespace tarnwell
