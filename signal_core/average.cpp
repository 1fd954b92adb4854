#include "average.h"

#include <cctype>
#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace tarnwell {
namespace {

std::string lowered(std::string name) {
  for (char& c : name) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

double weighted_mean(const std::vector<double>& samples, const std::vector<double>& weights) {
  const double weight_sum = vector_sum(weights);
  if (weight_sum == 0.0) {
    return 0.0;
  }
  double weighted_sum = +0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    weighted_sum += samples[i] * weights[i];
  }
  return weighted_sum / weight_sum;
}

// Zeros are left out of the sum of reciprocals but still count in n.
double harmonic_mean(const std::vector<double>& samples, double n) {
  double reciprocal_sum = +0.0;
  for (double sample : samples) {
    if (sample != 0.0) {
      reciprocal_sum += 1.0 / sample;
    }
  }
  return reciprocal_sum == 0.0 ? 0.0 : n / reciprocal_sum;
}

double geometric_mean(const std::vector<double>& samples, double n) {
  double log_sum = +0.0;
  for (double sample : samples) {
    // A NaN is not <= 0 and passes, making the mean NaN.
    if (sample <= 0.0) {
      throw std::invalid_argument("geometric mean is only defined for positive values");
    }
    log_sum += std::log(sample);
  }
  return std::exp(log_sum / n);
}

}  // namespace

double vector_sum(const std::vector<double>& samples) {
  double sum = +0.0;
  for (double sample : samples) {
    sum += sample;
  }
  return sum;
}

AverageResult average(const std::vector<double>& samples, const std::string& method,
                      const std::vector<double>* weights) {
  if (samples.empty()) {
    return {0.0, 0.0};
  }
  const std::string name = lowered(method);
  const double n = static_cast<double>(samples.size());

  double mean;
  if (name == "weighted" && weights != nullptr && weights->size() == samples.size()) {
    mean = weighted_mean(samples, *weights);
  } else if (name == "harmonic") {
    mean = harmonic_mean(samples, n);
  } else if (name == "geometric") {
    mean = geometric_mean(samples, n);
  } else {
    mean = vector_sum(samples) / n;
  }

  // About the method's own mean, unweighted; two divisions by n, in this order, so that the
  // result is the same to the last bit wherever it is computed.
  double squared_deviations = +0.0;
  for (double sample : samples) {
    const double deviation = sample - mean;
    squared_deviations += deviation * deviation;
  }
  return {mean, std::sqrt(squared_deviations / n / n)};
}

}  // namespace tarnwell
