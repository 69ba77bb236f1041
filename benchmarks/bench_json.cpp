// Times reading a ~100 MB JSON document of invoices: simdjson's validating DOM parse as the baseline, our
// whole parse into values, and our cut parse keeping two fields per record; then the cut/baseline ratio and
// the memory the cut parse takes beyond the text.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <simdjson.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/pool.hpp"
#include "value/document.hpp"
#include "value/reads.hpp"

namespace {

using zarnu_core::document::Document;
using zarnu_core::reads::Read;

constexpr std::size_t kTextSize = std::size_t{100} << 20;

// A small deterministic generator (xorshift64*), so every run reads the same document.
class Random {
 public:
  std::uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  template <std::size_t N>
  std::string_view pick(const std::string_view (&from)[N]) {
    return from[below(N)];
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// Texts as they appear inside JSON strings: some escaped, some non-ASCII.
constexpr std::string_view kNames[] = {
    "Zo\u00eb M\u00fcller", "J\u00f6rg \u00c5str\u00f6m", "Ana Lu\u00edsa Concei\u00e7\u00e3o",
    "Pat O'Brien",          "\u674e\u5c0f\u9f99",         "Chlo\u00e9 \\\"Coco\\\" Durand",
    "Ola Nordmann",         "\u00c9mile Z\u00e9ro"};
constexpr std::string_view kStreets[] = {"Hauptstra\u00dfe", "Rue de la Paix", "Main Street",
                                         "Calle Mayor",      "Via Roma",       "\u00c5sgatan"};
constexpr std::string_view kCities[] = {"K\u00f6ln", "Paris",  "Springfield",
                                        "Sevilla",   "Torino", "G\u00f6teborg"};
constexpr std::string_view kCountries[] = {"DE", "FR", "US", "ES", "IT", "SE"};
constexpr std::string_view kItems[] = {"Widget, blue \\\"large\\\"", "Gasket 12mm",
                                       "Caf\u00e9 cr\u00e8me 1kg",   "Cable \\\\ adapter",
                                       "Lamp \\u2013 LED",           "Bolt M8\\tzinc"};
constexpr std::string_view kTags[] = {"hardware", "blue", "sale", "fragile",
                                      "bulk",     "eco",  "new",  "\u00e9t\u00e9"};
constexpr std::string_view kNotes[] = {
    "Leave at the door.\\nCall before delivery: \\u260e +49 221 000000",
    "Paid by card \\u2713 \\u2014 thank you!",
    "Bitte nicht knicken. \u00dcbergabe nur pers\u00f6nlich.\\r\\n\\tDanke \U0001F600",
    "",
    "Path: C:\\\\invoices\\\\2024\\\\ \\\"final\\\"",
    "Livraison express \u2014 caf\u00e9 offert \u2615"};

void append_number(std::string& out, std::uint64_t n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

// A price in cents written with two decimals.
void append_cents(std::string& out, std::uint64_t cents) {
  append_number(out, cents / 100);
  out.push_back('.');
  out.push_back(static_cast<char>('0' + cents / 10 % 10));
  out.push_back(static_cast<char>('0' + cents % 10));
}

void append_string(std::string& out, std::string_view body) {
  out.push_back('"');
  out.append(body);
  out.push_back('"');
}

void append_record(std::string& out, std::uint64_t id, Random& rnd) {
  out += "{\"id\":";
  append_number(out, id);
  out += ",\"number\":\"INV-2024-";
  append_number(out, 100000 + id);
  out += "\",\"issued\":\"2024-0";
  append_number(out, 1 + rnd.below(9));
  out += "-1";
  append_number(out, rnd.below(10));
  out += "\",\"currency\":\"EUR\",\"customer\":{\"id\":\"C-";
  append_number(out, rnd.below(100000));
  out += "\",\"name\":";
  append_string(out, rnd.pick(kNames));
  out += ",\"email\":\"customer";
  append_number(out, rnd.below(100000));
  out += "@example.com\",\"address\":{\"street\":";
  append_string(out, rnd.pick(kStreets));
  out += ",\"number\":";
  append_number(out, 1 + rnd.below(200));
  out += ",\"city\":";
  append_string(out, rnd.pick(kCities));
  out += ",\"zip\":\"";
  append_number(out, 10000 + rnd.below(90000));
  out += "\",\"country\":";
  append_string(out, rnd.pick(kCountries));
  out += "},\"vip\":";
  out += rnd.below(5) == 0 ? "true" : "false";
  out += "},\"lines\":[";
  const std::size_t lines = 1 + rnd.below(8);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < lines; ++i) {
    if (i) out.push_back(',');
    const std::uint64_t qty = 1 + rnd.below(20), price = 50 + rnd.below(50000);
    total += qty * price;
    out += "{\"sku\":\"SKU-";
    append_number(out, 100000 + rnd.below(900000));
    out += "\",\"description\":";
    append_string(out, rnd.pick(kItems));
    out += ",\"qty\":";
    append_number(out, qty);
    out += ",\"price\":";
    append_cents(out, price);
    out += ",\"discount\":";
    out += rnd.below(3) == 0 ? "0.1" : "0";
    out += ",\"tags\":[";
    for (std::size_t t = 0, n = rnd.below(4); t < n; ++t) {
      if (t) out.push_back(',');
      append_string(out, rnd.pick(kTags));
    }
    out += "]}";
  }
  out += "],\"total\":";
  append_cents(out, total);
  out += ",\"paid\":";
  out += rnd.below(2) ? "true" : "false";
  out += ",\"due\":null,\"notes\":";
  append_string(out, rnd.pick(kNotes));
  out += "}";
}

// The document: an array of invoices, one per line, of about kTextSize bytes.
const std::string& document() {
  static const std::string text = [] {
    std::string out;
    out.reserve(kTextSize + 4096);
    Random rnd;
    out += "[\n";
    for (std::uint64_t id = 1; out.size() < kTextSize; ++id) {
      if (id > 1) out += ",\n";
      append_record(out, id, rnd);
    }
    out += "\n]\n";
    return out;
  }();
  return text;
}

// What an expression like `$.{"id": id, "who": customer.name}` reads: through the array, each record's id
// whole and its customer's name.
Read two_fields() {
  Read read = Read::fields();
  read.at("id") = Read::all();
  read.at("customer").at("name") = Read::all();
  return read;
}

void simdjson_dom_parse(benchmark::State& state) {
  const simdjson::padded_string padded(document());
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (auto error = parser.parse(padded).get(root)) {
      state.SkipWithError(simdjson::error_message(error));
      return;
    }
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document().size()));
}

// The release of the built values is left out of the time: the baseline releases nothing per parse.
template <class Parse>
void zarnu_parse(benchmark::State& state, Parse parse) {
  for (auto _ : state) {
    auto doc = parse(document());
    if (!doc) {
      state.SkipWithError(doc.error().text().c_str());
      return;
    }
    benchmark::DoNotOptimize(doc->value);
    state.PauseTiming();
    doc = Document{};
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document().size()));
}

// Keeps the time per iteration of each benchmark while printing as usual: the mean over repetitions when
// there are some, else the average of its runs. All the benchmarks here report in one unit.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
        means_[name] = run.GetAdjustedRealTime();
      } else if (run.run_type == Run::RT_Iteration) {
        auto& [sum, count] = runs_[name];
        sum += run.GetAdjustedRealTime();
        ++count;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::optional<double> time(const std::string& name) const {
    if (auto it = means_.find(name); it != means_.end()) return it->second;
    if (auto it = runs_.find(name); it != runs_.end()) return it->second.first / it->second.second;
    return std::nullopt;
  }

 private:
  std::map<std::string, double> means_;
  std::map<std::string, std::pair<double, int>> runs_;
};

// Memory: the bytes the C library's allocator hands out in live blocks (heap and mapped chunks; the parse
// runs on this one thread) plus the pool's pages, which it maps itself, and the process's resident set from
// /proc (current and peak).
std::size_t live_heap_bytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd + zarnu_core::pool::paged_bytes();
}

std::size_t status_kib(std::string_view field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field)) {
      std::size_t kib = 0;
      auto at = line.find_first_of("0123456789");
      if (at != std::string::npos) std::from_chars(line.data() + at, line.data() + line.size(), kib);
      return kib;
    }
  return 0;
}

// Resets the peak resident set to the current one; false where the kernel does not allow it.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

struct Footprint {
  std::size_t retained = 0;  // heap bytes still held by the parsed value
  std::size_t peak = 0;      // growth of the peak resident set during the parse
  bool peak_exact = false;
};

template <class Parse>
Footprint measure(Parse parse) {
  Footprint f;
  const std::size_t live = live_heap_bytes();
  const std::size_t rss = status_kib("VmRSS:");
  f.peak_exact = reset_peak();
  {
    auto doc = parse(document());
    if (!doc) {
      std::fprintf(stderr, "parse failed: %s\n", doc.error().text().c_str());
      std::exit(1);
    }
    f.retained = live_heap_bytes() - live;
    const std::size_t hwm = status_kib("VmHWM:");
    f.peak = hwm > rss ? (hwm - rss) << 10 : 0;
  }
  return f;
}

void print_footprint(const char* what, const Footprint& f) {
  const double size = static_cast<double>(document().size());
  std::printf("%-12s retained %8.1f MB (%5.1f%% of the text), peak resident growth %8.1f MB (%5.1f%%)%s\n",
              what, static_cast<double>(f.retained) / 1e6, 100.0 * static_cast<double>(f.retained) / size,
              static_cast<double>(f.peak) / 1e6, 100.0 * static_cast<double>(f.peak) / size,
              f.peak_exact ? "" : " [peak not resettable: upper bound]");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::string& text = document();
  const Read read = two_fields();
  auto whole = [](std::string_view t) { return Document::parse(t); };
  auto cut = [&read](std::string_view t) { return Document::parse_cut(t, read); };

  // Memory first, on a heap that no earlier parse has grown.
  std::printf("document: %.1f MB, simdjson implementation: %s\n", static_cast<double>(text.size()) / 1e6,
              simdjson::get_active_implementation()->name().c_str());
  print_footprint("cut parse", measure(cut));
  print_footprint("whole parse", measure(whole));
  std::fflush(stdout);

  benchmark::RegisterBenchmark("json/simdjson_dom", simdjson_dom_parse)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("json/zarnu_whole", [&](benchmark::State& s) {
    zarnu_parse(s, whole);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("json/zarnu_cut", [&](benchmark::State& s) {
    zarnu_parse(s, cut);
  })->Unit(benchmark::kMillisecond);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();

  if (auto base = recorder.time("json/simdjson_dom")) {
    for (const char* name : {"json/zarnu_cut", "json/zarnu_whole"})
      if (auto t = recorder.time(name)) std::printf("%s / simdjson_dom time: %.2f\n", name, *t / *base);
  }
  return 0;
}
