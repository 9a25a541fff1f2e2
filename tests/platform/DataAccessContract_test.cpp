// One contract for the data-access layer's data sets, run against both
// providers: the directory (a query on a private slapd) and ODBC (a whole
// SQLite table).
#include <gtest/gtest.h>

#include "DirectoryFixtures.h"
#include "platform/dataaccess/DataAccess.h"

using qm::data::DataError;
using qm::data::DataSet;
using qm::data::FieldNotFound;
using qm::data::Value;

namespace {

constexpr const char* kColumns = "mail,givenName,sn,telephoneNumber,otherTelephone,company";

class LdapBackend {
 public:
  static constexpr bool kKeepsEmptyText = false;  // LDAP has no empty values
  void Load(const std::vector<TestUser>& users, int generated) {
    for (const auto& u : users) server_.AddUser(u);
    if (generated) server_.AddUsers(generated, 100);
    server_.Start();
  }
  DataSet& Open() {
    connection_.SetConnectionString("Provider=ADsDSOObject;Password=" + server_.BindPassword() +
                                    ";User ID=" + server_.BindDn() +
                                    ";Encrypt Password=True;Mode=Read;Bind Flags=0;ADSI Flag=-2147483648");
    query_.SQL = std::string("SELECT ") + kColumns + "\r\nFROM 'LDAP://" + server_.AdsPath() +
                 "'\r\nWHERE objectCategory='person' and objectClass='user'\r\n ORDER BY mail\r\n";
    query_.Open();
    return query_;
  }

 private:
  SlapdFixture server_;
  qm::data::Connection connection_{"ADsDSOObject"};
  qm::data::Query query_{connection_};
};

class OdbcBackend {
 public:
  static constexpr bool kKeepsEmptyText = true;
  void Load(const std::vector<TestUser>& users, int generated) {
    odbc_.CreateUsersTable();
    for (const auto& u : users) odbc_.AddUser(u);
    if (generated) odbc_.AddUsers(generated, "users", 100);
  }
  DataSet& Open() {
    connection_.SetConnectionString("Provider=MSDASQL.1;Data Source=" + odbc_.Dsn() +
                                    ";Password=;User ID=;Extended Properties=\"DSN=" + odbc_.Dsn() + "\";");
    table_.TableName = "users";
    table_.Open();
    return table_;
  }

 private:
  OdbcFixture odbc_;
  qm::data::Connection connection_{"MSDASQL.1"};
  qm::data::Table table_{connection_};
};

// Users in address order, so both providers deliver the same order.
std::vector<TestUser> SampleUsers() {
  return {
      TestUser{"anna.alt@example.test", "Anna", "Alt", "+49 1", {"+49 2", "+49 3"}, "Firma A"},
      TestUser{"bernd.berg@example.test", "Bernd", "Berg", std::nullopt, {}, std::nullopt},
      TestUser{"Carla.Cramer@Example.test", "Carla", "", "+49 9", {"+49 8"}, "Firma C"},
  };
}

template <typename Backend>
class DataSetContract : public ::testing::Test {
 protected:
  Backend backend;
};

using Backends = ::testing::Types<LdapBackend, OdbcBackend>;
class BackendNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, LdapBackend> ? "Ldap" : "Odbc";
  }
};
TYPED_TEST_SUITE(DataSetContract, Backends, BackendNames);

TYPED_TEST(DataSetContract, WalksAllRowsInOrderWithNamedColumns) {
  this->backend.Load(SampleUsers(), 0);
  DataSet& ds = this->backend.Open();
  ASSERT_TRUE(ds.Active());
  EXPECT_EQ(ds.FieldNames(), (std::vector<std::string>{"mail", "givenName", "sn", "telephoneNumber",
                                                       "otherTelephone", "company"}));
  EXPECT_EQ(ds.RecordCount(), 3u);
  std::vector<std::string> seen;
  for (ds.First(); !ds.Eof(); ds.Next()) seen.push_back(ds.FieldByName("MAIL").AsText());
  EXPECT_EQ(seen, (std::vector<std::string>{"anna.alt@example.test", "bernd.berg@example.test",
                                            "Carla.Cramer@Example.test"}));
  ds.Next();  // past the end stays at the end
  EXPECT_TRUE(ds.Eof());
  EXPECT_THROW(ds.FieldByName("mail"), DataError);
}

TYPED_TEST(DataSetContract, LocateIgnoresCaseAndNeedsTheWholeValue) {
  this->backend.Load(SampleUsers(), 0);
  DataSet& ds = this->backend.Open();
  struct {
    const char* address;
    const char* givenName;  // nullptr: not found
  } cases[] = {
      {"bernd.berg@example.test", "Bernd"},
      {"BERND.BERG@EXAMPLE.TEST", "Bernd"},
      {"carla.cramer@example.test", "Carla"},
      {"bernd.berg@example", nullptr},
      {"bernd.berg@example.test ", nullptr},
      {"ernd.berg@example.test", nullptr},
      {"*", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ds.First();
    bool found = ds.Locate("mail", c.address);
    EXPECT_EQ(found, c.givenName != nullptr);
    if (c.givenName) {
      EXPECT_EQ(ds.FieldByName("givenName").AsText(), c.givenName);
    } else {
      EXPECT_EQ(ds.FieldByName("mail").AsText(), "anna.alt@example.test") << "row moved";
    }
  }
}

TYPED_TEST(DataSetContract, MissingColumnIsAFieldNotFoundError) {
  this->backend.Load(SampleUsers(), 0);
  DataSet& ds = this->backend.Open();
  try {
    ds.FieldByName("department");
    FAIL() << "no error";
  } catch (const FieldNotFound& e) {
    EXPECT_NE(std::string(e.what()).find("department"), std::string::npos);
  }
  EXPECT_THROW(ds.Locate("department", "x"), FieldNotFound);
  // A closed data set fails with a data error, but not a missing column.
  ds.Close();
  try {
    ds.FieldByName("mail");
    FAIL() << "no error";
  } catch (const FieldNotFound&) {
    FAIL() << "closed data set reported as missing column";
  } catch (const DataError&) {
  }
}

TYPED_TEST(DataSetContract, NullIsEmptyTextAndDistinctFromEmpty) {
  this->backend.Load(SampleUsers(), 0);
  DataSet& ds = this->backend.Open();
  ASSERT_TRUE(ds.Locate("mail", "bernd.berg@example.test"));
  EXPECT_TRUE(ds.FieldByName("telephoneNumber").IsNull());
  EXPECT_EQ(ds.FieldByName("telephoneNumber").AsText(), "");
  EXPECT_TRUE(ds.FieldByName("company").IsNull());
  if (TypeParam::kKeepsEmptyText) {
    ASSERT_TRUE(ds.Locate("mail", "carla.cramer@example.test"));
    EXPECT_FALSE(ds.FieldByName("sn").IsNull());
    EXPECT_EQ(ds.FieldByName("sn"), Value(""));
  }
}

TYPED_TEST(DataSetContract, ClosingTwiceIsHarmlessAndReopeningReadsAgain) {
  this->backend.Load(SampleUsers(), 0);
  DataSet& ds = this->backend.Open();
  ds.Close();
  ds.Close();
  EXPECT_FALSE(ds.Active());
  EXPECT_THROW(ds.RecordCount(), DataError);
  ds.GetConnection().Close();
  ds.GetConnection().Close();
  EXPECT_FALSE(ds.GetConnection().Connected());
  DataSet& again = this->backend.Open();
  EXPECT_EQ(again.RecordCount(), 3u);
}

TYPED_TEST(DataSetContract, LargeResultComesBackWhole) {
  // More rows than a directory server hands out without paging.
  this->backend.Load(SampleUsers(), 2500);
  DataSet& ds = this->backend.Open();
  EXPECT_EQ(ds.RecordCount(), 2503u);
  EXPECT_TRUE(ds.Locate("mail", "USER02599@example.test"));
  EXPECT_EQ(ds.FieldByName("givenName").AsText(), "Given2599");
}

}  // namespace
