// Lays out the data of a demo installation in a program directory:
//   users.sql        1,000 sample users for the SQLite table "users"
//                    (the run script loads it with sqlite3 into users.db)
//   odbcinst.ini     the SQLite ODBC driver
//   odbc.ini         the data source "quillmark-demo" on <dir>/users.db
//   beispiel.qm      an HTML signature project with the logo as attachment
//   temp/logo.gif    the logo
//   default.config   the profile: the ODBC table, HTTP on the given port,
//                    mail polling off (written with the engine's encoder)
//   progstate.qms    "profileName" and "lastOpenedFile"
// Usage: qm_demo_setup <directory> [http-port]   (default port 8081)
// Prints the address of the first sample user.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "base/UProgState.h"
#include "signature/USaveSig.h"
#include "settings/USetting.h"
#include "base/UUtils.h"

namespace fs = std::filesystem;

namespace {

const char* kGiven[] = {"Anna",  "Ben",   "Clara", "David",  "Emma",  "Felix",  "Greta", "Hannes", "Ida",   "Jonas",
                        "Katja", "Lukas", "Mia",   "Niklas", "Olga",  "Paul",   "Quirin", "Rosa",  "Stefan", "Tina"};
const char* kSurname[] = {
    "Müller",  "Schmidt",  "Schneider", "Fischer",  "Weber",   "Meyer",   "Wagner",  "Becker",  "Schulz",  "Hoffmann",
    "Schäfer", "Koch",     "Bauer",     "Richter",  "Klein",   "Wolf",    "Schröder", "Neumann", "Schwarz", "Zimmermann",
    "Braun",   "Krüger",   "Hofmann",   "Hartmann", "Lange",   "Schmitt", "Werner",  "Schmitz", "Krause",  "Meier",
    "Lehmann", "Schmid",   "Schulze",   "Maier",    "Köhler",  "Herrmann", "König",   "Walter",  "Mayer",   "Huber",
    "Kaiser",  "Fuchs",    "Peters",    "Lang",     "Scholz",  "Möller",  "Weiß",    "Jung",    "Hahn",    "Vogel"};
const char* kDepartment[] = {"Vertrieb", "Einkauf", "Buchhaltung", "Personal", "Entwicklung", "Kundendienst"};

// The mail-address form of a name: lower case, umlauts spelt out.
std::string AddressPart(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == 0xC3 && i + 1 < name.size()) {
      unsigned char d = static_cast<unsigned char>(name[++i]);
      switch (d) {
        case 0xA4: case 0x84: out += "ae"; break;
        case 0xB6: case 0x96: out += "oe"; break;
        case 0xBC: case 0x9C: out += "ue"; break;
        case 0x9F: out += "ss"; break;
        default: break;
      }
      continue;
    }
    out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return out;
}

std::string SqlText(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

struct User {
  std::string mail, given, surname, department, phone;
};

User SampleUser(int i) {
  User u;
  u.given = kGiven[i % 20];
  u.surname = kSurname[(i / 20) % 50];
  u.mail = AddressPart(u.given) + "." + AddressPart(u.surname) + "@example.org";
  u.department = kDepartment[i % 6];
  u.phone = "+49 30 5550 " + std::to_string(1000 + i);
  return u;
}

// A small GIF picture (a quill-coloured band with a darker frame), encoded
// with LZW literals only: a clear code after every two pixels keeps the code
// width at three bits, which every decoder reads.
std::string LogoGif() {
  const int w = 96, h = 32;
  std::string g = "GIF89a";
  auto u16 = [&](int v) {
    g += static_cast<char>(v & 0xFF);
    g += static_cast<char>((v >> 8) & 0xFF);
  };
  u16(w);
  u16(h);
  g += static_cast<char>(0x81);  // global colour table of 4 entries
  g += '\0';
  g += '\0';
  const unsigned char palette[12] = {0xFF, 0xFF, 0xFF, 0x1F, 0x4E, 0x79, 0x5B, 0x9B, 0xD5, 0xF2, 0xB1, 0x34};
  g.append(reinterpret_cast<const char*>(palette), 12);
  g += ',';
  u16(0);
  u16(0);
  u16(w);
  u16(h);
  g += '\0';
  g += '\2';  // minimum code size
  std::string data;
  std::uint32_t acc = 0;
  int bits = 0;
  auto code = [&](int c) {
    acc |= static_cast<std::uint32_t>(c) << bits;
    bits += 3;
    while (bits >= 8) {
      data += static_cast<char>(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  };
  int n = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int c = (x < 2 || y < 2 || x >= w - 2 || y >= h - 2) ? 1 : ((x + y) / 8 % 2 == 0 ? 2 : 3);
      if (n % 2 == 0) code(4);  // clear
      code(c);
      ++n;
    }
  }
  code(5);  // end of information
  if (bits > 0) data += static_cast<char>(acc & 0xFF);
  for (std::size_t i = 0; i < data.size(); i += 255) {
    std::size_t len = std::min<std::size_t>(255, data.size() - i);
    g += static_cast<char>(len);
    g += data.substr(i, len);
  }
  g += '\0';
  g += ';';
  return g;
}

std::string SqliteOdbcDriver() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib", ec)) {
    fs::path candidate = entry.path() / "odbc" / "libsqlite3odbc.so";
    if (fs::exists(candidate, ec)) return candidate.string();
  }
  return "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <directory> [http-port]\n", argv[0]);
    return 2;
  }
  try {
    fs::create_directories(fs::path(argv[1]) / "temp");
    std::string dir = fs::canonical(argv[1]).string() + "/";
    int port = argc > 2 ? std::atoi(argv[2]) : 8081;

    std::string sql =
        "BEGIN;\nDROP TABLE IF EXISTS users;\n"
        "CREATE TABLE users (mail TEXT PRIMARY KEY, Vorname TEXT, Nachname TEXT, Abteilung TEXT, Telefon TEXT, "
        "Firma TEXT);\n";
    for (int i = 0; i < 1000; ++i) {
      User u = SampleUser(i);
      sql += "INSERT INTO users VALUES (" + SqlText(u.mail) + ", " + SqlText(u.given) + ", " + SqlText(u.surname) +
             ", " + SqlText(u.department) + ", " + SqlText(u.phone) + ", 'Beispiel GmbH');\n";
    }
    sql += "COMMIT;\n";
    qm::WriteWholeFile(dir + "users.sql", sql);

    qm::WriteWholeFile(dir + "odbcinst.ini", "[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=" +
                                                 SqliteOdbcDriver() + "\n");
    qm::WriteWholeFile(dir + "odbc.ini",
                       "[quillmark-demo]\nDescription=Quillmark demo users\nDriver=SQLite3\nDatabase=" + dir +
                           "users.db\n");

    qm::WriteWholeFile(dir + "temp/logo.gif", LogoGif());
    qm::TextList mailText = {"Guten Tag,", "", "anbei erhalten Sie Ihre persönliche E-Mail-Signatur.", "",
                             "Mit freundlichen Grüßen", "Ihre IT-Abteilung"};
    qm::TextList signature = {
        "<html>",
        "<body style=\"font-family: Arial, sans-serif; font-size: 10pt\">",
        "<p><b>#Vorname# #Nachname#</b><br>",
        "#Abteilung#<br>",
        "#Firma#</p>",
        "<p>Telefon: #Telefon#<br>",
        "E-Mail: <a href=\"mailto:#mail#\">#mail#</a></p>",
        "<p><img src=\"cid:logo.gif\" alt=\"Beispiel GmbH\"></p>",
        "</body>",
        "</html>"};
    SaveProjectFile(dir + "beispiel.qm", mailText, signature, {"logo.gif"});

    MailSettings mail;
    mail.subject = "Ihre E-Mail-Signatur";
    mail.senderName = "Quillmark";
    DirectorySettings directory;
    directory.odbcSource = "quillmark-demo";
    directory.table = "users";
    directory.mailField = "mail";
    GeneralSettings general;
    general.intervalMinutes = 5;
    general.timerEnabled = false;  // no mailbox configured yet
    general.verbosity = 0;
    general.contentType = ctHtml;
    general.sendAs = "body";
    general.useAD = false;
    general.httpPort = port;
    general.httpServerActive = true;
    auto profile = EncodeProfile(mail, directory, general);
    qm::WriteWholeFile(dir + "default.config",
                       std::string(reinterpret_cast<const char*>(profile.data()), profile.size()), 0600);

    qm::SetProgramDirectory(dir);
    ClearState();
    SetStateValue("profileName", "default");
    SetStateValue("lastOpenedFile", dir + "beispiel.qm");
    SaveState();
    if (!qm::FileExists(dir + "progstate.qms")) throw std::runtime_error("progstate.qms not written");

    std::printf("%s\n", SampleUser(0).mail.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qm_demo_setup: %s\n", e.what());
    return 1;
  }
  return 0;
}
