// fleet serve suite: wrk's requests per second and 99th percentile of latency, with 32
// connections, on a page of /articles deep in a 200,000-article file and on the
// dashboard, each against the floor of the same HTTP library serving a static page of
// the same size, in turn; the dashboard again over TLS, against the library's own TLS
// serving that static page; and the server's peak memory under that load.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/articles.h"
#include "bench/served.h"
#include "bench/suites.h"
#include "testing/process.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr unsigned kArticles = 200000;
constexpr unsigned kDeep = 150000;  // the position of the page's first article
constexpr int kConnections = 32;
constexpr double kRateFloorShare = 0.5;  // at least half the floor's requests per second
constexpr double kLatencyRatio = 2;      // a 99th percentile at most twice the floor's
constexpr double kMemoryMib = 64;
const char kWrk[] = "/usr/bin/wrk";

// The file, made by fleet import of its export once and kept while the stamp holds.
std::string article_file(const Setup& setup, const std::string& fleet, std::string* problem) {
  const std::string folder = setup.data_dir + "/serve";
  const std::string file = folder + "/articles";
  const std::string stamp = std::to_string(kArticles) + " articles, layout 1";
  std::ifstream kept(folder + "/stamp");
  std::string line;
  if (std::getline(kept, line) && line == stamp && exists(file)) return file;
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::ofstream csv(folder + "/articles.csv", std::ios::binary);
  csv << "immatriculation,semaine";
  for (const char* day : {"lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi", "dimanche"}) {
    csv << "," << day << "_km," << day << "_frais";
  }
  csv << "\r\n";
  char plate[9];
  char text[32];
  for (unsigned i = 0; i < kArticles; ++i) {
    article_plate(i, plate);
    csv << plate << "," << article_week(i);
    for (unsigned day = 1; day <= 7; ++day) {
      const unsigned cents = article_cents(i, day);
      std::snprintf(text, sizeof text, ",%u,%u.%02u", article_mileage(i, day), cents / 100, cents % 100);
      csv << text;
    }
    csv << "\r\n";
  }
  csv.close();
  const Measure m = run(Command{fleet, {"-f", file, "import", folder + "/articles.csv"}});
  if (m.status != 0) {
    *problem = "fleet import failed";
    return {};
  }
  std::ofstream(folder + "/stamp") << stamp << "\n";
  return file;
}

// The address of the page of /articles whose first article is the kDeep-th in plate
// order: the page after the one before it.
std::string deep_page() {
  std::vector<std::pair<std::string, unsigned>> plates;
  char plate[9];
  for (unsigned i = 0; i < kArticles; ++i) {
    article_plate(i, plate);
    plates.emplace_back(plate, i);
  }
  std::sort(plates.begin(), plates.end());
  const unsigned i = plates[kDeep - 1].second;
  unsigned mileage = 0;
  unsigned cents = 0;
  for (unsigned day = 1; day <= 7; ++day) {
    mileage += article_mileage(i, day);
    cents += article_cents(i, day);
  }
  return "/articles?apres=" + std::to_string(article_week(i)) + "." + std::to_string(mileage) + "." +
         std::to_string(cents) + ".0." + plates[kDeep - 1].first;
}

// One GET, its status and the size of its body; -1 when no answer came.
int get(int port, const std::string& target, const std::string& token, size_t* bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  const size_t head = answer.find("\r\n\r\n");
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || head == std::string::npos) return -1;
  *bytes = answer.size() - head - 4;
  return std::atoi(answer.c_str() + 9);
}

struct Load {
  double per_second = 0;
  double p99_ms = 0;
  std::string problem;
};

double as_ms(const std::string& number, const std::string& unit) {
  const double value = std::stod(number);
  return unit == "us" ? value / 1000 : unit == "s" ? value * 1000 : value;
}

Load load(int port, const std::string& target, const std::string& token, int seconds, const char* scheme = "http") {
  testkit::Launch launch{
      kWrk,
      {"-t2", "-c" + std::to_string(kConnections), "-d" + std::to_string(seconds) + "s", "--latency", "-H",
       "Authorization: Bearer " + token, std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + target}};
  launch.out = testkit::Stream::pipe();
  testkit::Process wrk(std::move(launch));
  Load result;
  if (!wrk.start() || !wrk.drain(seconds * 1000 + 30000) || wrk.wait().status != 0) {
    result.problem = "wrk failed";
    return result;
  }
  const std::string& out = wrk.out();
  std::smatch m;
  if (std::regex_search(out, m, std::regex("Requests/sec:\\s+([0-9.]+)"))) result.per_second = std::stod(m[1]);
  if (std::regex_search(out, m, std::regex("\\n\\s+99%\\s+([0-9.]+)(us|ms|s)"))) result.p99_ms = as_ms(m[1], m[2]);
  if (std::regex_search(out, m, std::regex("Non-2xx or 3xx responses: (\\d+)"))) {
    result.problem = std::string(m[1]) + " answers not 200";
  }
  if (result.per_second == 0 || result.p99_ms == 0) result.problem = "wrk's figures not found";
  return result;
}

// ours at target and the floor at /, in turn, reps times: the medians of their rates
// and 99th percentiles as two rows, or one row skipped with the problem.
void compare_rows(const std::string& measure, const std::string& note, const Started& ours, const std::string& target,
                  const Started& floor, const char* scheme, int seconds, int reps, Report& report) {
  std::string problem;
  std::vector<double> rate, p99, floor_rate, floor_p99;
  for (int rep = 0; rep < reps && problem.empty(); ++rep) {
    const Load a = load(ours.port, target, ours.token, seconds, scheme);
    const Load b = load(floor.port, "/", "", seconds, scheme);
    problem = !a.problem.empty() ? a.problem : b.problem.empty() ? "" : "floor: " + b.problem;
    rate.push_back(a.per_second);
    p99.push_back(a.p99_ms);
    floor_rate.push_back(b.per_second);
    floor_p99.push_back(b.p99_ms);
  }
  if (!problem.empty()) {
    report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, problem});
    return;
  }
  const double r = median(rate), f = median(floor_rate);
  Row rate_row = ratio_row(measure + " (req/s)", "fleet", grouped(r) + " req/s", grouped(f) + " req/s", f / r,
                           1 / kRateFloorShare);
  rate_row.note = "ratio: the floor's over ours; " + note;
  report.add(rate_row);
  report.add(ratio_row(measure + " (p99)", "fleet", fixed(median(p99), 2) + " ms", fixed(median(floor_p99), 2) + " ms",
                       median(p99) / median(floor_p99), kLatencyRatio));
}

// The dashboard over TLS (a certificate made for the run) against the library's own
// TLS serving a static page of its size, in turn: what fleet serve's TLS, inside its
// bounded stream, costs beside the library's.
void tls_rows(const Setup& setup, const std::string& measure, const std::string& fleet, const std::string& floor,
              const std::string& file, size_t bytes, int seconds, int reps, Report& report) {
  const std::string folder = setup.data_dir + "/serve";
  const std::string cert = folder + "/cert.pem", key = folder + "/key.pem";
  const Measure made = run(Command{"/usr/bin/openssl",
                                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-days",
                                    "1", "-keyout", key, "-out", cert}});
  if (bytes == 0 || made.status != 0) {
    report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, bytes == 0 ? "no page of /" : "openssl failed"});
    return;
  }
  Started ours =
      start_server({fleet, {"-f", file, "serve", "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key}},
                   folder + "/serve-tls.log");
  Started theirs = start_server({floor, {std::to_string(bytes), cert, key}}, folder + "/floor-tls.log");
  std::string problem = ours.port == 0 ? "fleet serve did not start" : theirs.port == 0 ? "floor did not start" : "";
  // A first second unmeasured: the first request computes the figures.
  if (problem.empty()) problem = load(ours.port, "/", ours.token, 1, "https").problem;
  if (problem.empty()) {
    compare_rows(measure, "TLS 1.2 or 1.3, a new handshake every 100 requests", ours, "/", theirs, "https", seconds,
                 reps, report);
  } else {
    report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, problem});
  }
  for (Started* started : {&ours, &theirs}) {
    if (started->process) {
      started->process->kill(SIGTERM);
      started->process->wait();
    }
  }
}

}  // namespace

Started start_server(testkit::Launch launch, const std::string& log) {
  launch.err = testkit::Stream::file(log);  // a pipe not read during the load would stop it
  launch.env.push_back("LC_ALL=C.UTF-8");
  Started started;
  started.process = std::make_unique<testkit::Process>(std::move(launch));
  if (!started.process->start()) return started;
  const std::regex address("https?://127\\.0\\.0\\.1:(\\d+)/(\\?token=([0-9a-f]+))?");
  for (int look = 0; look < 100 && started.port == 0; ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(log);
    std::string first;
    std::smatch found;
    if (std::getline(in, first) && std::regex_search(first, found, address)) {
      started.port = std::stoi(found[1]);
      started.token = found[3];
    }
  }
  return started;
}

void serve_suite(const Setup& setup, Report& report) {
  const std::string fleet = setup.bin_dir + "/fleet";
  const std::string floor = setup.tool_dir + "/serve_floor";
  const std::string deep_measure = "fleet serve /articles deep, " + grouped(kArticles) + " articles";
  const std::string home_measure = "fleet serve /, " + grouped(kArticles) + " articles";
  const std::string tls_measure = "fleet serve / over TLS, " + grouped(kArticles) + " articles";
  auto skip_all = [&](const std::string& why) {
    for (const std::string& measure : {deep_measure, home_measure, tls_measure}) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, why});
    }
  };
  if (!exists(fleet) || !exists(floor)) return skip_all("not built");
  if (!exists(kWrk)) return skip_all("no wrk (Debian package wrk)");
  std::string problem;
  const std::string file = article_file(setup, fleet, &problem);
  if (file.empty()) return skip_all(problem);
  std::cerr << "fleet serve: " << kConnections << " connections with wrk...\n";

  const std::string log = setup.data_dir + "/serve/serve.log";
  Started server = start_server({fleet, {"-f", file, "serve", "--listen", "127.0.0.1:0"}}, log);
  if (server.port == 0) return skip_all("fleet serve did not start");
  const int seconds = setup.throughput_reps > 1 ? 5 : 2;
  const int reps = std::min(setup.throughput_reps, 2);
  size_t home_bytes = 0;
  for (const auto& [measure, target] :
       {std::pair{deep_measure, deep_page()}, std::pair{home_measure, std::string("/")}}) {
    size_t bytes = 0;
    const int status = get(server.port, target, server.token, &bytes);  // also the first, which computes
    if (target == "/") home_bytes = bytes;
    if (status != 200) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "status " + std::to_string(status)});
      continue;
    }
    Started static_page = start_server({floor, {std::to_string(bytes)}}, setup.data_dir + "/serve/floor.log");
    if (static_page.port == 0) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "floor did not start"});
      continue;
    }
    compare_rows(measure, "a page of " + grouped(static_cast<double>(bytes)) + " bytes", server, target, static_page,
                 "http", seconds, reps, report);
    static_page.process->kill(SIGTERM);
    static_page.process->wait();
  }
  tls_rows(setup, tls_measure, fleet, floor, file, home_bytes, seconds, reps, report);
  server.process->kill(SIGTERM);
  const testkit::Ending ending = server.process->wait();
  const double mib = static_cast<double>(ending.max_rss_kib) / 1024;
  report.add({"fleet serve peak memory under load", "fleet", mebibytes(static_cast<double>(ending.max_rss_kib)), "", "",
              "< " + fixed(kMemoryMib, 0) + " MiB", mib < kMemoryMib ? Verdict::kMet : Verdict::kMissed,
              ending.status == 0 ? "" : "exit status " + std::to_string(ending.status)});
  fs::remove(log);
}

}  // namespace bench
