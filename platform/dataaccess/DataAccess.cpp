#include "platform/dataaccess/DataAccess.h"

#include "platform/dataaccess/Provider.h"

namespace qm::data {

namespace {

// Folds one UTF-8 character starting at s[i] to lower case (ASCII and the
// two-byte Latin-1 capitals À-Þ except ×) and advances i.
std::string FoldCase(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < s.size()) {
      unsigned char d = static_cast<unsigned char>(s[i + 1]);
      if (d >= 0x80 && d <= 0x9E && d != 0x97) d = static_cast<unsigned char>(d + 0x20);
      out += static_cast<char>(c);
      out += static_cast<char>(d);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && FoldCase(a) == FoldCase(b);
}

bool MatchesIgnoringCase(const Value& v, const std::string& value) {
  if (v.IsNull()) return false;
  if (v.IsArray()) {
    for (const auto& e : v.Elements())
      if (MatchesIgnoringCase(e, value)) return true;
    return false;
  }
  return SameTextIgnoringCase(v.AsText(), value);
}

ResultSet Provider::ReadMatching(const std::string& table, const std::string& column, const std::string& value) {
  ResultSet all = ReadTable(table);
  std::size_t col = 0;
  while (col < all.columns.size() && !SameTextIgnoringCase(all.columns[col], column)) ++col;
  // An unknown column: every row, so that a Locate on them fails as it
  // fails on the whole table.
  if (col == all.columns.size()) return all;
  ResultSet out;
  out.columns = std::move(all.columns);
  for (auto& row : all.rows)
    if (MatchesIgnoringCase(row[col], value)) out.rows.push_back(std::move(row));
  return out;
}

// ---- Value ------------------------------------------------------------

Value Value::Array(std::vector<Value> elements) {
  Value v;
  v.kind_ = Kind::Array;
  v.elements_ = std::move(elements);
  return v;
}

std::string Value::AsText() const {
  switch (kind_) {
    case Kind::Null:
      return {};
    case Kind::Text:
      return text_;
    case Kind::Array: {
      std::string out;
      for (std::size_t i = 0; i < elements_.size(); ++i) {
        if (i) out += "; ";
        out += elements_[i].AsText();
      }
      return out;
    }
  }
  return {};
}

// ---- Connection -------------------------------------------------------

Connection::Connection(std::string provider) : defaultProvider_(std::move(provider)) {}
Connection::~Connection() { Close(); }

void Connection::SetConnectionString(const std::string& text) {
  Close();
  connectionString_ = text;
}

Provider& Connection::Backend() {
  std::string name = ConnectionValue(ParseConnectionString(connectionString_), "Provider");
  if (name.empty()) name = defaultProvider_;
  if (!provider_) {
    if (SameTextIgnoringCase(name, "ADsDSOObject"))
      provider_ = MakeLdapProvider();
    else if (SameTextIgnoringCase(name, "MSDASQL.1") || SameTextIgnoringCase(name, "MSDASQL"))
      provider_ = MakeOdbcProvider();
    else
      throw DataError("Provider nicht gefunden: " + name);
  }
  return *provider_;
}

void Connection::Open() {
  if (Connected()) return;
  Provider& p = Backend();
  p.Open(ParseConnectionString(connectionString_), connectTimeout_, commandTimeout_);
}

void Connection::Close() {
  if (provider_) provider_->Close();
  // The provider may change with the next connection string.
  provider_.reset();
}

bool Connection::Connected() const { return provider_ && provider_->Connected(); }

std::vector<TableInfo> Connection::Tables() {
  Open();
  return provider_->Tables();
}

std::vector<std::string> Connection::Columns(const std::string& table) {
  Open();
  return provider_->Columns(table);
}

ResultSet Connection::Execute(const std::string& queryText) {
  Open();
  return provider_->Execute(queryText);
}

ResultSet Connection::ReadTable(const std::string& table) {
  Open();
  return provider_->ReadTable(table);
}

ResultSet Connection::ReadMatching(const std::string& table, const std::string& column, const std::string& value) {
  Open();
  return provider_->ReadMatching(table, column, value);
}

// ---- DataSet ----------------------------------------------------------

void DataSet::Close() {
  active_ = false;
  result_ = ResultSet{};
  current_ = 0;
}

void DataSet::Assign(ResultSet result) {
  result_ = std::move(result);
  active_ = true;
  current_ = 0;
}

void DataSet::RequireActive() const {
  if (!active_) throw DataError("Die Operation ist bei geschlossener Datenmenge nicht zulässig");
}

std::size_t DataSet::RecordCount() const {
  RequireActive();
  return result_.rows.size();
}

void DataSet::First() {
  RequireActive();
  current_ = 0;
}

void DataSet::Next() {
  RequireActive();
  if (current_ < result_.rows.size()) ++current_;
}

bool DataSet::Eof() const {
  RequireActive();
  return current_ >= result_.rows.size();
}

std::size_t DataSet::ColumnIndex(const std::string& name) const {
  for (std::size_t i = 0; i < result_.columns.size(); ++i)
    if (SameTextIgnoringCase(result_.columns[i], name)) return i;
  throw FieldNotFound("Feld '" + name + "' nicht gefunden");
}

bool DataSet::Locate(const std::string& keyField, const std::string& value) {
  RequireActive();
  std::size_t col = ColumnIndex(keyField);
  for (std::size_t r = 0; r < result_.rows.size(); ++r) {
    if (MatchesIgnoringCase(result_.rows[r][col], value)) {
      current_ = r;
      return true;
    }
  }
  return false;
}

const Value& DataSet::FieldByName(const std::string& name) const {
  RequireActive();
  std::size_t col = ColumnIndex(name);
  if (current_ >= result_.rows.size()) throw DataError("Kein aktueller Datensatz");
  return result_.rows[current_][col];
}

void Query::Open() {
  Close();
  Assign(GetConnection().Execute(SQL));
}

void Table::Open() {
  Close();
  openKeyField_.clear();
  openKeyValue_.clear();
  if (KeyField.empty()) {
    Assign(GetConnection().ReadTable(TableName));
    return;
  }
  Assign(GetConnection().ReadMatching(TableName, KeyField, KeyValue));
  openKeyField_ = KeyField;
  openKeyValue_ = KeyValue;
}

bool Table::Holds(const std::string& keyField, const std::string& value) const {
  if (!Active()) return false;
  return openKeyField_.empty() || (SameTextIgnoringCase(openKeyField_, keyField) && openKeyValue_ == value);
}

}  // namespace qm::data
