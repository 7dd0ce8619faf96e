// The table's expression link: the table functions RECNO, DELETED, BOF, EOF,
// TYPE, LEN and FIELDNO, and one field variable per field, through which
// expressions compiled against the table read the current record.
#include <memory>
#include <string>

#include "expr/hx6_sql.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace {

// Base of the table functions: they answer for the table that made them.
class ThxlDBFFunction : public ThxUserDefFunction {
 public:
  explicit ThxlDBFFunction(HXO_dBaseFld& table) : table_(table) {}

 protected:
  // The field named by the call's first argument (text, upper-cased);
  // nullptr when the table has no such field.
  const ThxDBFFields* NamedField(ThxExpFunction& call) {
    uint8_t actual;
    const ThxExpValue& v = call.CheckArgument(0, hxtText, actual);
    const int n = table_.FieldNumber(HxUpperCase(v.null ? std::string() : v.text));
    return table_.FieldEntry(n);
  }
  const ThxDBFFields& RequiredField(ThxExpFunction& call) {
    uint8_t actual;
    const ThxExpValue& v = call.CheckArgument(0, hxtText, actual);
    return table_.FieldEntryByName(HxUpperCase(v.null ? std::string() : v.text));
  }

  HXO_dBaseFld& table_;
};

class ThxlDBFRecNo : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "RECNO"; }
  uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
    value.SetNumber(static_cast<double>(table_.RecNo()));
    return hxtNumber;
  }
};

class ThxlDBFDeleted : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "DELETED"; }
  uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
    const uint8_t* record = table_.RecordBuffer();
    value.SetBoolean(record != nullptr && record[0] != ' ');
    return hxtBoolean;
  }
};

class ThxlDBFBOF : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "BOF"; }
  uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
    value.SetBoolean(table_.Bof());
    return hxtBoolean;
  }
};

class ThxlDBFEOF : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "EOF"; }
  uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
    value.SetBoolean(table_.Eof());
    return hxtBoolean;
  }
};

class ThxlDBFType : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "TYPE"; }
  uint8_t Execute(ThxExpFunction& call, ThxExpValue& value) override {
    const char type = RequiredField(call).type;
    value.null = false;
    value.text.assign(1, type);
    return hxtText;
  }
};

// Hidden by the global LEN in expressions; reachable through the link's
// own registry.
class ThxlDBFLen : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "LEN"; }
  uint8_t Execute(ThxExpFunction& call, ThxExpValue& value) override {
    value.SetNumber(RequiredField(call).width);
    return hxtNumber;
  }
};

class ThxlDBFFieldNo : public ThxlDBFFunction {
 public:
  using ThxlDBFFunction::ThxlDBFFunction;
  std::string FunctionName() const override { return "FIELDNO"; }
  uint8_t Execute(ThxExpFunction& call, ThxExpValue& value) override {
    const ThxDBFFields* f = NamedField(call);
    value.SetNumber(f ? f->number : 0);
    return hxtNumber;
  }
};

// One field of the current record, read by its type: C the raw text, D the
// day number, N and F the number, L the logical, M the memo text; any other
// type the raw text (type Memo).
class ThxlDBFFieldVars : public ThxUserDefFieldVar {
 public:
  ThxlDBFFieldVars(const std::string& names, HXO_dBaseFld& table, const ThxDBFFields& field)
      : ThxUserDefFieldVar(names),
        table_(table),
        number_(field.number),
        type_(field.type),
        offset_(field.offset),
        length_(field.length) {
    SetLength(static_cast<int32_t>(field.length));
    SetDecimals(field.type == 'C' ? 0 : field.decimals);
  }

  int NameKind() const override { return 17; }

  uint8_t GetValue(ThxExpValue& value) override {
    switch (type_) {
      case 'C':
        value.SetText(
            std::string_view(reinterpret_cast<const char*>(table_.RecordBuffer()) + offset_, length_));
        return hxtText;
      case 'D':
        value.SetNumber(table_.GetDate(number_));
        return hxtDate;
      case 'N':
      case 'F':
        value.SetNumber(table_.GetNumber(number_));
        return hxtNumber;
      case 'L':
        value.SetBoolean(table_.GetLogical(number_));
        return hxtBoolean;
      case 'M':
        value.null = false;
        table_.GetString(number_, value.text);
        return hxtText;
      default:
        value.null = false;
        table_.GetRaw(number_, value.text);
        return hxtMemo;
    }
  }

 private:
  HXO_dBaseFld& table_;
  int number_;
  char type_;
  uint32_t offset_;
  uint32_t length_;
};

}  // namespace

void HxExpLinkDeleter::operator()(ThxExpUserLink* link) const { std::default_delete<ThxExpUserLink>()(link); }

void HXO_dBaseFld::BuildExpressionLink() {
  expLink_.reset(new ThxExpUserLink());
  ThxExpUserLink& link = *expLink_;
  link.AddFunction(std::make_unique<ThxlDBFRecNo>(*this));
  link.AddFunction(std::make_unique<ThxlDBFDeleted>(*this));
  link.AddFunction(std::make_unique<ThxlDBFBOF>(*this));
  link.AddFunction(std::make_unique<ThxlDBFEOF>(*this));
  link.AddFunction(std::make_unique<ThxlDBFType>(*this));
  link.AddFunction(std::make_unique<ThxlDBFLen>(*this));
  link.AddFunction(std::make_unique<ThxlDBFFieldNo>(*this));
  // Each field is reachable by its name and by ALIAS.NAME (T->NAME in an
  // expression); a duplicate name in a damaged table is simply not added.
  for (const auto& f : FieldList()) {
    f->fieldVar = std::make_shared<ThxlDBFFieldVars>(f->name, *this, *f);
    link.AddFieldVar(f->fieldVar);
    link.AddFieldVar(std::make_shared<ThxlDBFFieldVars>(f->name + ";" + Alias() + "." + f->name, *this, *f));
  }
}
