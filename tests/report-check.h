// Reading the timing block of a real run's report.
#ifndef TEMPOVA_TESTS_REPORT_CHECK_H_
#define TEMPOVA_TESTS_REPORT_CHECK_H_

#include <string>

/// The number after "KEY=" in the report (a test failure, and 0, when there is none).
unsigned long long report_value(const std::string& report, const std::string& key);

/// Checks that the timing block adds up: the differences are those of the readings (modulo
/// 2^64 and 2^32), and the time line is the counter difference over the frequency, written as
/// the launcher writes it with `line_end`. Returns that time in milliseconds.
double check_timing_arithmetic(const std::string& report, const char* line_end);

#endif  // TEMPOVA_TESTS_REPORT_CHECK_H_
