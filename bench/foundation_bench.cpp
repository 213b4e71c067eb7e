// Figures for the foundation: digests, Base64, and reading and writing the two settings files.
#include <benchmark/benchmark.h>

#include <string>

#include "codec/base64.h"
#include "codec/md5.h"
#include "config/config_file.h"
#include "platform/byte_source.h"
#include "sorting/sorter_rules.h"

namespace {

using namespace quelma;

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
  return s;
}

void BM_Md5(benchmark::State& state) {
  const std::string input = Bytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(codec::Md5Of(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(64)->Arg(1 << 20);

void BM_CramMd5Answer(benchmark::State& state) {
  const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  for (auto _ : state) benchmark::DoNotOptimize(codec::DigestToHex(codec::HmacMd5Of(challenge, "tanstaaftanstaaf")));
}
BENCHMARK(BM_CramMd5Answer);

void BM_Base64(benchmark::State& state) {
  const std::string input = Bytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(codec::Base64Decode(codec::Base64Encode(input)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64)->Arg(1 << 16);

config::Configuration FullConfiguration() {
  config::Configuration c = config::DefaultConfiguration("/srv/quelma/");
  c.users.clear();
  for (int i = 0; i < 300; ++i) c.users.push_back({"user" + std::to_string(i), "pass", "u" + std::to_string(i) + "@isp.ru"});
  c.accounts.clear();
  for (int i = 0; i < 25; ++i) c.accounts.push_back({"pop.isp.ru", "login" + std::to_string(i), "secretpass", 110, "*", 1, {}, {}, {}, {}});
  for (auto& phone : c.DialupPhoneNumber) phone = "8 495 123 45 67";
  return c;
}

void BM_ReadFullConfiguration(benchmark::State& state) {
  const std::string file = config::FormatConfiguration(FullConfiguration());
  for (auto _ : state) {
    config::Configuration c;
    platform::StringSource source(file);
    config::ReadConfiguration(source, c);
    benchmark::DoNotOptimize(c.users.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_ReadFullConfiguration);

void BM_FormatFullConfiguration(benchmark::State& state) {
  const config::Configuration c = FullConfiguration();
  for (auto _ : state) benchmark::DoNotOptimize(config::FormatConfiguration(c));
}
BENCHMARK(BM_FormatFullConfiguration);

void BM_ParseSorterRules(benchmark::State& state) {
  sorting::SorterRuleTable rules;
  for (int i = 0; i < state.range(0); ++i) rules.push_back({"Subject", "word" + std::to_string(i), "user1,a@b.ru", 0});
  const std::string file = sorting::FormatSorterRules(rules);
  for (auto _ : state) {
    platform::StringSource source(file);
    benchmark::DoNotOptimize(sorting::ParseSorterRules(source).size());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ParseSorterRules)->Arg(1000);

}  // namespace
