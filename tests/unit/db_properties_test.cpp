#include <gtest/gtest.h>

#include "config/db_properties.h"
#include "support/error.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

struct Outcome {
  ServerSettings server;
  int32_t errorCode = 0;
  int32_t checkpoint = 0;
};

Outcome Read(const std::string& content) {
  test::FakeHost host;
  host.AddFile(L"C:\\db.properties", content);
  SequentialInput input(host);
  input.Open(L"C:\\db.properties");
  Outcome outcome;
  Step step;
  try {
    ReadDbProperties(input, outcome.server, step);
  } catch (const Error& e) {
    outcome.errorCode = e.code();
  }
  outcome.checkpoint = step.now();
  return outcome;
}

TEST(DbPropertiesTest, FailuresCarryTheirCodeAndCheckpoint) {
  const struct {
    std::string content;
    int32_t code, checkpoint;
  } cases[] = {
      {"DB_PROVIDER\n", 9, 89},
      {"dbconn.appl.url\n", 9, 99},
      {"dbconn.appl.url=\n", 5, 100},
      {"dbconn.appl.url=dbhost:1433;x\n", 5, 100},
      {"dbconn.appl.url=x://dbhost:1433\n", 5, 102},
      {"dbconn.appl.url=x://;z\n", 9, 104},
      {"dbconn.appl.url=x://dbhost;z\n", 9, 105},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    const Outcome outcome = Read(c.content);
    EXPECT_EQ(outcome.errorCode, c.code);
    EXPECT_EQ(outcome.checkpoint, c.checkpoint);
  }
}

TEST(DbPropertiesTest, ProviderAndUrlRules) {
  const struct {
    std::string content;
    std::wstring version, host, port;
  } cases[] = {
      {"", L"", L"", L""},
      {"\n\n  \n", L"", L"", L""},
      {"DB_PROVIDER=SQLOLEDB\n", L"MSDE", L"", L""},
      {"DB_PROVIDER=SQLNCLI.1\n", L"2005", L"", L""},
      {"DB_PROVIDER=SQLNCLI.1 SQLOLEDB\n", L"MSDE", L"", L""},
      {"DB_PROVIDER=SQLNCLI.10\n", L"2005", L"", L""},
      {"DB_PROVIDER=SQLNCLI10\nDB_PROVIDER=sqloledb\n", L"", L"", L""},
      {"DB_PROVIDER = SQLOLEDB\n", L"", L"", L""},
      {"   DB_PROVIDER=SQLOLEDB\n", L"MSDE", L"", L""},
      {"DB_PROVIDER=SQLOLEDB\nDB_PROVIDER=OTHER\n", L"MSDE", L"", L""},
      {"DB_PROVIDER=SQLOLEDB\nDB_PROVIDER=SQLNCLI.1\n", L"2005", L"", L""},
      {"DB_PROVIDER=ODBC,SQLOLEDB\n", L"", L"", L""},
      {"DB_PROVIDER=\n#comment\nother=1\n", L"", L"", L""},
      {"dbconn.appl.url=x://dbhost:1433;name=y\n", L"", L"dbhost", L"1433"},
      {"dbconn.appl.url=x://dbhost:1433:7;z\n", L"", L"dbhost", L"1433"},
      {"dbconn.appl.url=x://dbhost\\inst:1433;z\n", L"", L"dbhost\\inst", L"1433"},
      {"dbconn.appl.url=x://a:1;z\ndbconn.appl.url=y://b:2;z\n", L"", L"b", L"2"},
      {"dbconn.appl.url=a;b://h:p;\n", L"", L"h", L"p"},
      {"DB_PROVIDER=SQLOLEDB\r\n\r\ndbconn.appl.url=x://h:1;z\r\n", L"MSDE", L"h", L"1"},
      {"\xEF\xBB\xBF"
       "DB_PROVIDER=SQLOLEDB\n",
       L"MSDE", L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    const Outcome outcome = Read(c.content);
    EXPECT_EQ(outcome.errorCode, 0);
    EXPECT_EQ(outcome.server.serverVersion, c.version);
    EXPECT_EQ(outcome.server.serverHost, c.host);
    EXPECT_EQ(outcome.server.serverPort, c.port);
  }
}

TEST(DbPropertiesTest, AUrlOfTenThousandColonsIsHandled) {
  const Outcome outcome = Read("dbconn.appl.url=x://" + std::string(10000, ':') + ";\n");
  EXPECT_EQ(outcome.errorCode, 0);
  EXPECT_EQ(outcome.server.serverHost, L"");
  EXPECT_EQ(outcome.server.serverPort, L"");
}

}  // namespace
}  // namespace qelrestore
