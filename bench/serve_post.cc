// fleet serve's entry of one article: POSTs of /saisie one after another on one
// connection, each answered once the article's commit is on the disk, against what
// autolog takes to store and acknowledge one article of the same values, in the same
// run. Both write into a file of their own in a fresh folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/served.h"
#include "bench/suites.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr unsigned kPosts = 300;
constexpr double kPostLimit = 1.5;
constexpr const char* kDays[] = {"lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi", "dimanche"};

// The form of article i, url-encoded (nothing in it needs escaping).
std::string form_of(unsigned i) {
  char plate[9];
  article_plate(i, plate);
  std::string body = "immatriculation=" + std::string(plate) + "&semaine=" + std::to_string(article_week(i));
  for (unsigned day = 1; day <= 7; ++day) {
    const unsigned cents = article_cents(i, day);
    char cost[16];
    std::snprintf(cost, sizeof cost, "%u,%02u", cents / 100, cents % 100);  // a French comma
    body += std::string("&") + kDays[day - 1] + "_km=" + std::to_string(article_mileage(i, day)) + "&" +
            kDays[day - 1] + "_frais=" + cost;
  }
  return body;
}

// One keep-alive connection to the server.
class Connection {
 public:
  explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Sends the request and reads its whole answer: the status, or -1.
  int exchange(const std::string& request) {
    if (fd_ < 0 || ::write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return -1;
    std::string answer;
    char buffer[16384];
    for (;;) {
      const size_t head = answer.find("\r\n\r\n");
      if (head != std::string::npos) {
        const size_t length = answer.find("Content-Length: ");
        const size_t body = length == std::string::npos ? 0 : std::stoul(answer.substr(length + 16));
        if (answer.size() >= head + 4 + body) break;
      }
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return -1;
      answer.append(buffer, static_cast<size_t>(n));
    }
    return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(answer.c_str() + 9) : -1;
  }

 private:
  int fd_;
};

// Nanoseconds of kPosts entries through fleet serve into a fresh file; 0 with why.
double served_entries(const std::string& fleet, const std::string& autolog, const std::string& folder,
                      std::string* problem) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string file = folder + "/articles";
  // The file is made by autolog, with an article none of the posts has.
  {
    char text[kArticleTextMax];
    std::ofstream in(folder + "/first.in", std::ios::binary);
    in.write(text, static_cast<std::streamsize>(article_text(kPosts + 1, text)));
    in << "n\n";
  }
  Command make{autolog, {}, {"fichier=" + file}, folder + "/first.in"};
  if (run(make).status != 0) {
    *problem = "autolog could not make the file";
    return 0;
  }
  Started server = start_server({fleet, {"-f", file, "serve", "--listen", "127.0.0.1:0"}}, folder + "/serve.log");
  if (server.port == 0) {
    *problem = "fleet serve did not start";
    return 0;
  }
  const std::string head = "POST /saisie HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) +
                           "\r\nAuthorization: Bearer " + server.token +
                           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
  std::vector<std::string> requests;
  for (unsigned i = 0; i < kPosts; ++i) {
    const std::string body = form_of(i);
    requests.push_back(head + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  // The server serves 100 requests a connection: a browser's next connection is
  // counted too, every 50 requests.
  std::unique_ptr<Connection> connection;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < requests.size(); ++i) {
    if (i % 50 == 0) connection = std::make_unique<Connection>(server.port);
    const int status = connection->exchange(requests[i]);
    if (status != 303 && status != 200 && status != 201) {
      *problem = "POST /saisie answered " + std::to_string(status);
      break;
    }
  }
  const double ns = static_cast<double>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  server.process->kill(SIGTERM);
  server.process->wait();
  return problem->empty() ? ns : 0;
}

// Nanoseconds of autolog storing the same kPosts articles into a fresh file.
double autolog_entries(const std::string& autolog, const std::string& folder, std::string* problem) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  {
    char text[kArticleTextMax];
    std::ofstream in(folder + "/articles.in", std::ios::binary);
    for (unsigned i = 0; i < kPosts; ++i) in.write(text, static_cast<std::streamsize>(article_text(i, text)));
    in << "n\n";
  }
  const Measure m = run(Command{autolog, {}, {"fichier=" + folder + "/articles"}, folder + "/articles.in"});
  if (m.status != 0) *problem = "autolog: exit status " + std::to_string(m.status);
  return problem->empty() ? static_cast<double>(m.wall_ns) : 0;
}

}  // namespace

void serve_post_suite(const Setup& setup, Report& report) {
  const std::string measure = "fleet serve POST /saisie, one acknowledged article";
  const std::string fleet = setup.bin_dir + "/fleet";
  const std::string autolog = setup.bin_dir + "/autolog";
  if (!exists(fleet) || !exists(autolog)) {
    return report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "not built"});
  }
  std::cerr << "fleet serve: " << kPosts << " articles entered by POST, against autolog...\n";
  std::vector<double> served, typed;
  std::string problem;
  for (int rep = 0; rep < setup.throughput_reps && problem.empty(); ++rep) {
    // In turn, so that both meet the disk in the same state.
    typed.push_back(autolog_entries(autolog, setup.data_dir + "/serve-post/autolog", &problem));
    if (problem.empty())
      served.push_back(served_entries(fleet, autolog, setup.data_dir + "/serve-post/serve", &problem));
  }
  fs::remove_all(setup.data_dir + "/serve-post");
  if (!problem.empty()) return report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, problem});
  const double s = median(served) / kPosts;
  const double a = median(typed) / kPosts;
  Row row =
      ratio_row(measure, "fleet", fixed(s / 1e6, 3) + " ms", fixed(a / 1e6, 3) + " ms (autolog)", s / a, kPostLimit);
  row.note = "floor: autolog's dialogue storing the same articles, each flushed";
  report.add(row);
}

}  // namespace bench
