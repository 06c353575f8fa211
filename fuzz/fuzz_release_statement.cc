// Fuzzes the readers of the files beside a signed list: the release
// statement and the release's file table. Whatever they take must be what
// their writers write.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/release_statement.h"
#include "update/release_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  ReleaseStatement statement;
  std::string_view body;
  std::string signature;
  if (ParseStatement(text, statement, body, signature).empty()) {
    // A statement read strictly is exactly its body and signature line.
    if (signature.size() != kListSignatureSize ||
        StatementBody(statement) != body ||
        SignedStatementText(std::string(body), signature) != text) {
      std::abort();
    }
  }

  ReleaseTable table;
  if (table.Parse(text).empty()) {
    std::string written = ReleaseTableHeader();
    std::string_view rest(text);
    rest.remove_prefix(written.size());
    std::size_t records = 0;
    while (!rest.empty()) {
      const std::string_view path = rest.substr(0, rest.find(' '));
      const ReleaseFileRecord* record = table.Find(path);
      if (record == nullptr) std::abort();
      written += ReleaseTableLine(record->path, record->size, record->sha256,
                                  record->executable);
      rest.remove_prefix(rest.find('\n') + 1);
      ++records;
    }
    if (written != text || records != table.size()) std::abort();
  }
  return 0;
}
