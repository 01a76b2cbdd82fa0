#include "report-check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

unsigned long long report_value(const std::string& report, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(report, m, std::regex("(^|[ \n])" + key + "=([0-9]+)"))) {
    ADD_FAILURE() << "no " << key << " in " << report;
    return 0;
  }
  return std::stoull(m[2]);
}

double check_timing_arithmetic(const std::string& report, const char* line_end) {
  auto value = [&](const char* key) { return report_value(report, key); };
  unsigned long long counts = value("tq2-tq1");
  EXPECT_EQ(counts, value("tq2") - value("tq1"));
  EXPECT_EQ(value("t2-t1"), (value("t2") - value("t1")) & 0xFFFFFFFFu);
  EXPECT_EQ(value("ts2-ts1"), (value("ts2") - value("ts1")) & 0xFFFFFFFFu);

  double time = static_cast<double>(counts) * 1000.0 / static_cast<double>(value("frequency"));
  char line[64];
  std::snprintf(line, sizeof line, "time=%f%s", time, line_end);
  EXPECT_THAT(report, ::testing::HasSubstr(line));
  return time;
}
