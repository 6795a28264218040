// metrics_writer output and the strict exposition-format reader.
#include "remote/metrics_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/metrics_text.h"

namespace network {
namespace {

TEST(MetricsWriter, WritesHelpTypeAndSamplesGroupedPerMetric) {
  metrics_writer w;
  EXPECT_TRUE(w.gauge("orbeck_hashrate", "Hash rate in H/s.", {{"device", "GPU0"}}, 512.5));
  EXPECT_TRUE(w.counter("orbeck_shares_accepted_total", "Accepted shares.", 3));
  EXPECT_TRUE(w.gauge("orbeck_hashrate", "Hash rate in H/s.", {{"device", "GPU1"}}, 0));
  EXPECT_EQ(w.text(),
            "# HELP orbeck_hashrate Hash rate in H/s.\n"
            "# TYPE orbeck_hashrate gauge\n"
            "orbeck_hashrate{device=\"GPU0\"} 512.5\n"
            "orbeck_hashrate{device=\"GPU1\"} 0\n"
            "# HELP orbeck_shares_accepted_total Accepted shares.\n"
            "# TYPE orbeck_shares_accepted_total counter\n"
            "orbeck_shares_accepted_total 3\n");
}

TEST(MetricsWriter, EscapesLabelValuesAndHelp) {
  metrics_writer w;
  EXPECT_TRUE(w.gauge("pool_up", "Pool state \\ 1 = up\nnext line \"quoted\"",
                      {{"server", "a\\b\"c\nd"}, {"kind", "user"}}, 1));
  EXPECT_EQ(w.text(),
            "# HELP pool_up Pool state \\\\ 1 = up\\nnext line \"quoted\"\n"
            "# TYPE pool_up gauge\n"
            "pool_up{server=\"a\\\\b\\\"c\\nd\",kind=\"user\"} 1\n");
}

TEST(MetricsWriter, RejectsBadNamesAndRepeatedLabels) {
  metrics_writer w;
  EXPECT_FALSE(w.gauge("", "h", 1));
  EXPECT_FALSE(w.gauge("1abc", "h", 1));
  EXPECT_FALSE(w.gauge("a-b", "h", 1));
  EXPECT_FALSE(w.gauge("ok", "h", {{"0x", "v"}}, 1));
  EXPECT_FALSE(w.gauge("ok", "h", {{"__name", "v"}}, 1));
  EXPECT_FALSE(w.gauge("ok", "h", {{"device", "a"}, {"device", "b"}}, 1));
  EXPECT_TRUE(w.gauge("ns:ok_2", "h", {{"_x9", "v"}}, 1));
  EXPECT_EQ(w.text(), "# HELP ns:ok_2 h\n# TYPE ns:ok_2 gauge\nns:ok_2{_x9=\"v\"} 1\n");
}

TEST(MetricsWriter, RejectsARepeatedSeriesAndAChangedTypeOrHelp) {
  metrics_writer w;
  ASSERT_TRUE(w.gauge("temp", "t", {{"device", "GPU0"}, {"id", "0"}}, 60));
  EXPECT_FALSE(w.gauge("temp", "t", {{"id", "0"}, {"device", "GPU0"}}, 61));
  EXPECT_FALSE(w.gauge("temp", "other help", {{"device", "GPU1"}}, 61));
  ASSERT_TRUE(w.counter("x_total", "c", 1));
  EXPECT_FALSE(w.gauge("x_total", "c", {{"a", "b"}}, 1));
  EXPECT_EQ(w.text(),
            "# HELP temp t\n# TYPE temp gauge\ntemp{device=\"GPU0\",id=\"0\"} 60\n"
            "# HELP x_total c\n# TYPE x_total counter\nx_total 1\n");
}

TEST(MetricsWriter, CountersNeedTotalSuffixAndNonNegativeValues) {
  metrics_writer w;
  EXPECT_FALSE(w.counter("shares", "c", 1));
  EXPECT_FALSE(w.counter("_total", "c", 1));
  EXPECT_FALSE(w.counter("shares_total", "c", -1));
  EXPECT_FALSE(w.counter("shares_total", "c", std::nan("")));
  EXPECT_EQ(w.text(), "");
  EXPECT_TRUE(w.counter("shares_total", "c", std::numeric_limits<double>::infinity()));
}

TEST(MetricsWriter, FormatsValuesShortestAndSpecials) {
  EXPECT_EQ(format_metric_value(0), "0");
  EXPECT_EQ(format_metric_value(12500), "12500");
  EXPECT_EQ(format_metric_value(-3.25), "-3.25");
  EXPECT_EQ(format_metric_value(0.1), "0.1");
  EXPECT_EQ(format_metric_value(4294967295.0), "4294967295");
  EXPECT_EQ(format_metric_value(1e21), "1e+21");
  EXPECT_EQ(format_metric_value(1.5e-7), "1.5e-07");
  EXPECT_EQ(format_metric_value(std::nan("")), "NaN");
  EXPECT_EQ(format_metric_value(std::numeric_limits<double>::infinity()), "+Inf");
  EXPECT_EQ(format_metric_value(-std::numeric_limits<double>::infinity()), "-Inf");
}

TEST(MetricsText, WriterOutputReadsBackExactly) {
  metrics_writer w;
  ASSERT_TRUE(w.gauge("hr", "h\\x\ny", {{"device", "G\"0\\\n"}}, 0.1));
  ASSERT_TRUE(w.gauge("hr", "h\\x\ny", {{"device", "G1"}}, -2));
  ASSERT_TRUE(w.counter("n_total", "n", 7));
  ASSERT_TRUE(w.gauge("t", "t", std::nan("")));
  std::vector<metric_sample> samples;
  std::string error;
  ASSERT_TRUE(parse_metrics_text(w.text(), samples, error)) << error;
  ASSERT_EQ(samples.size(), 4u);
  EXPECT_EQ(samples[0].name, "hr");
  EXPECT_EQ(samples[0].labels, (metric_labels{{"device", "G\"0\\\n"}}));
  EXPECT_EQ(samples[0].value, 0.1);
  EXPECT_EQ(samples[1].value, -2);
  EXPECT_EQ(samples[2].name, "n_total");
  EXPECT_EQ(samples[2].value, 7);
  EXPECT_TRUE(std::isnan(samples[3].value));
}

TEST(MetricsText, AcceptsCommentsBlankLinesTimestampsAndHistogramParts) {
  std::vector<metric_sample> samples;
  std::string error;
  EXPECT_TRUE(
      parse_metrics_text("# a comment\n\n"
                         "# TYPE lat histogram\n"
                         "lat_bucket{le=\"0.5\",} 1 1700000000000\n"
                         "lat_bucket{le=\"+Inf\"} 2\n"
                         "lat_sum 0.75\n"
                         "lat_count 2\n"
                         "up  +Inf\n",
                         samples, error))
      << error;
  EXPECT_EQ(samples.size(), 5u);
  EXPECT_TRUE(parse_metrics_text("", samples, error));
  EXPECT_TRUE(samples.empty());
}

TEST(MetricsText, RejectsMalformedText) {
  const std::pair<const char*, const char*> cases[] = {
      {"up 1", "the text does not end with a line break"},
      {"a 1\nb 1\na 2\n", "line 3: samples of a are not grouped"},
      {"a 1\n# HELP a late\n", "line 2: HELP or TYPE after the samples of a"},
      {"# TYPE a gauge\n# TYPE a gauge\n", "line 2: second TYPE for a"},
      {"# TYPE a meter\n", "line 1: unknown type 'meter'"},
      {"# HELP a bad \\t escape\n", "line 1: bad escape in HELP"},
      {"a{x=\"\\t\"} 1\n", "line 1: bad label value of x"},
      {"a{x=1} 1\n", "line 1: label x without =\""},
      {"a{x=\"1\" 1\n", "line 1: label set not closed"},
      {"a{x=\"1\",x=\"2\"} 1\n", "line 1: repeated label x"},
      {"a{__x=\"1\"} 1\n", "line 1: reserved label name __x"},
      {"a{x=\"1\"} 1\na{x=\"1\"} 2\n", "line 2: repeated series of a"},
      {"# TYPE c_total counter\nc_total -1\n", "line 2: negative counter"},
      {"a one\n", "line 1: bad value"},
      {"a 0x10\n", "line 1: bad value"},
      {"a 1 soon\n", "line 1: bad timestamp"},
      {"a\n", "line 1: no blank before the value"},
      {"{x=\"1\"} 1\n", "line 1: missing metric name"},
  };
  for (const auto& [text, reason] : cases) {
    std::vector<metric_sample> samples;
    std::string error;
    EXPECT_FALSE(parse_metrics_text(text, samples, error)) << text;
    EXPECT_EQ(error, reason) << text;
  }
}

}  // namespace
}  // namespace network
