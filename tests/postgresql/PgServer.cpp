#include "postgresql/PgServer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "journal/postgresql/PgConnection.h"

namespace xmodemq::test {
namespace {

// The program's server, and why there is none.
std::unique_ptr<PgServer> g_server;
std::string g_why;

// The first line that `command` prints, or nothing.
std::string FirstLine(const std::string& command) {
  char line[4096] = {};
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    ::pclose(pipe);
  }
  const std::string text = line;
  return text.substr(0, text.find_first_of("\r\n"));
}

// Started by the first test that asks for it (TheServer()): a program whose
// other tests need none starts none.
class PgEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { g_server.reset(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new PgEnvironment);

}  // namespace

PgServer* TheServer() {
  [[maybe_unused]] static const bool tried = (g_server = PgServer::Start(g_why), true);
  return g_server.get();
}

const std::string& WhyNoServer() {
  return g_why;
}

bool PgServer::Run(const std::string& program, const std::vector<std::string>& args) const {
  // Test paths and options hold no quote: single quotes keep spaces whole.
  std::string command = (as_postgres_ ? "runuser -u postgres -- '" : "'") + bin_ + "/" + program;
  for (const std::string& arg : args) command += "' '" + arg;
  return std::system((command + "' >>'" + folder_ + "/" + program + ".out' 2>&1").c_str()) == 0;
}

std::unique_ptr<PgServer> PgServer::Start(std::string& why) {
  // No server, and why.
  const auto none = [&why](std::string reason) {
    why = std::move(reason);
    return nullptr;
  };
  std::unique_ptr<PgServer> server(new PgServer);
  server->bin_ = FirstLine("pg_config --bindir 2>/dev/null");
  if (server->bin_.empty() || ::access((server->bin_ + "/initdb").c_str(), X_OK) != 0 ||
      ::access((server->bin_ + "/pg_ctl").c_str(), X_OK) != 0)
    return none("pg_config, initdb ou pg_ctl introuvable (paquets Debian postgresql et libpq-dev)");
  const passwd* postgres = nullptr;
  if (::geteuid() == 0) {
    // The server refuses to run as root: it runs as postgres.
    postgres = ::getpwnam("postgres");
    if (postgres == nullptr)
      return none("les tests tournent en root et l'utilisateur postgres n'existe pas");
    server->as_postgres_ = true;
  }
  char folder[] = "/tmp/xmq-pg-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return none("impossible de créer un dossier temporaire");
  server->folder_ = folder;
  // The socket's folder: the server's user writes in it, the test process
  // reaches the socket through it.
  if (::chmod(folder, 0755) != 0 ||
      (postgres != nullptr && ::chown(folder, postgres->pw_uid, postgres->pw_gid) != 0))
    return none("impossible de donner " + server->folder_ + " à l'utilisateur postgres");
  const std::string data = server->folder_ + "/data";
  if (!server->Run("initdb", {"-D", data, "-U", "postgres", "-E", "UTF8", "--locale=C", "-N",
                              "--auth-local=trust", "--auth-host=reject"}))
    return none("initdb a échoué (voir " + server->folder_ + "/initdb.out)");
  {
    std::ofstream conf(data + "/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\nunix_socket_directories = '" << server->folder_
         << "'\nfsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
            "max_connections = 40\nlc_messages = 'C'\n";
    std::ofstream hba(data + "/pg_hba.conf", std::ios::trunc);
    hba << "local all postgres trust\nlocal all all scram-sha-256\n";
    if (!conf || !hba) return none("impossible d'écrire la configuration dans " + data);
  }
  server->Restart();
  if (!server->running_)
    return none("pg_ctl start a échoué (voir " + server->folder_ + "/server.log)");
  return server;
}

PgServer::~PgServer() {
  if (running_) Stop();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

void PgServer::Stop() {
  running_ = !Run("pg_ctl", {"-D", folder_ + "/data", "-m", "fast", "-w", "stop"});
}

void PgServer::Restart() {
  running_ = Run("pg_ctl", {"-D", folder_ + "/data", "-l", folder_ + "/server.log", "-w", "-t",
                            "60", "start"});
}

std::string PgServer::Address(const std::string& database, const std::string& user,
                              const std::string& password) const {
  std::string socket;
  for (const char c : folder_) socket += c == '/' ? std::string("%2F") : std::string(1, c);
  return "postgresql://" + user + (password.empty() ? "" : ":" + password) + "@" + socket + "/" +
         database;
}

std::string PgServer::JournalAddress(const std::string& schema) {
  if (!role_made_) {
    CreateDatabase("xmodemq");
    std::ifstream file(XMQ_ROLE_SQL);
    std::stringstream sql;
    sql << file.rdbuf();
    PgConnection admin(Address("xmodemq"));
    admin.RunScript(sql.str());
    admin.Execute("SELECT set_config('password_encryption', 'scram-sha-256', false)");
    admin.RunScript("ALTER ROLE xmodemq PASSWORD '" + std::string(kRolePassword) + "'");
    role_made_ = true;
  }
  PgConnection admin(Address("xmodemq"));
  admin.RunScript("CREATE SCHEMA " + schema + " AUTHORIZATION xmodemq");
  return Address("xmodemq", "xmodemq", kRolePassword) + "?options=-csearch_path%3D" + schema;
}

void PgServer::CreateDatabase(const std::string& name) const {
  PgConnection admin(Address("postgres"));
  admin.RunScript("CREATE DATABASE " + name);
}

}  // namespace xmodemq::test
