#include "sim/uTestCertificates.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace {

// Validity of every certificate that is meant to be valid.
constexpr int kValidDays = 30;

const char kScript[] = R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1"; }
ca() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days DAYS -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -config /dev/null
}
leaf() { # name subject days extensions
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2" -config /dev/null
  printf '%s\n' "$4" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days "$3" -out "$1.pem" -extfile "$1.ext"
}
ca ca "tn3270 test CA"
ca other "tn3270 other CA"
server='basicConstraints=CA:FALSE
extendedKeyUsage=serverAuth'
leaf good localhost DAYS "$server
subjectAltName=IP:127.0.0.1,DNS:localhost"
leaf wrong wrong-name.invalid DAYS "$server
subjectAltName=DNS:wrong-name.invalid"
leaf expired localhost -1 "$server
subjectAltName=IP:127.0.0.1,DNS:localhost"
leaf client "tn3270 test client" DAYS 'basicConstraints=CA:FALSE
extendedKeyUsage=clientAuth'
)";

std::string ReadAll(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

bool TTestCertificates::Available()
{
    return std::system("openssl version >/dev/null 2>&1") == 0;
}

TTestCertificates::TTestCertificates()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "tn-tls-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    Dir = tmpl;
    std::string script = kScript;
    for (std::size_t at; (at = script.find("DAYS")) != std::string::npos;)
        script.replace(at, 4, std::to_string(kValidDays));
    std::ofstream(Dir + "/make.sh") << script;
    const std::string command = "cd '" + Dir + "' && sh ./make.sh >make.log 2>&1";
    if (std::system(command.c_str()) != 0) {
        const std::string log = ReadAll(Dir + "/make.log");
        std::filesystem::remove_all(Dir);
        throw std::runtime_error("openssl could not make the test certificates:\n" + log);
    }
    CaFile = Dir + "/ca.pem";
    OtherCaFile = Dir + "/other.pem";
    Good = {Dir + "/good.pem", Dir + "/good.key"};
    WrongName = {Dir + "/wrong.pem", Dir + "/wrong.key"};
    Expired = {Dir + "/expired.pem", Dir + "/expired.key"};
    Client = {Dir + "/client.pem", Dir + "/client.key"};
}

TTestCertificates::~TTestCertificates()
{
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
}
