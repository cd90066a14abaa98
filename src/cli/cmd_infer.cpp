// rekasto infer-structure: finds a table's structure from its data blocks alone, for a
// .DB whose header is lost, says how sure each part is and why, and can write an empty
// table of that structure for a rebuild to take its structure from.
#include <ostream>

#include "cli.h"
#include "paradox/format/codepage.h"
#include "paradox/format/file.h"
#include "paradox/repair/structure_inference.h"

namespace rekasto {

namespace {

const char* kUsage = "infer-structure [--write=TEMPLATE.DB] TABLE";

const char* kHelp =
    "Finds the structure of TABLE from its data blocks alone, for a table whose header\n"
    "is damaged: the header, block and record sizes from the blocks' own headers, then\n"
    "each field's type and size from the bytes of every record, and the field names\n"
    "where any survive (the header's name area, the .VAL, the index headers). Each\n"
    "field is printed with how sure the reading is, why, and what else would fit.\n"
    "The table itself is only read.\n"
    "  --write=TEMPLATE.DB  also write an empty table of that structure (a new file;\n"
    "                       an existing one is never overwritten), for\n"
    "                       rekasto rebuild --structure-from=TEMPLATE.DB TABLE\n"
    "Check the fields before using the template: where two readings fit equally, the\n"
    "one whose values look like real data was taken.\n"
    "Exit: 0 a structure was found, 2 none (or the template could not be written).\n";

std::string Letter(paradox::FieldType t) {
  return std::string(1, paradox::FieldTypeLetter(t));
}

void Print(std::ostream& o, const std::string& table, const paradox::InferredStructure& s) {
  using paradox::SurenessName;
  o << table << ": structure inferred from the data blocks\n";
  o << "  layout: header " << s.headerSize << " bytes, blocks of " << s.blockSize
    << " bytes, records of " << s.recordSize << " bytes (" << SurenessName(s.layoutSureness) << ": "
    << s.layoutWhy << ")\n";
  o << "  data chain: " << s.chainBlocks << " of " << s.blocksInFile << " block(s), "
    << s.chainRecords << " record(s); fields judged by " << s.recordsExamined << " record(s)\n";
  o << "  level " << paradox::LevelName(s.level) << " (" << s.levelSource << ")";
  if (s.codePage) o << ", code page " << s.codePage;
  if (!s.sortOrderId.empty()) o << ", sort order \"" << ValidUtf8(s.sortOrderId) << "\"";
  o << ", table name \"" << ValidUtf8(s.tableName) << "\"\n";
  if (s.keyFields)
    o << "  primary key: the first " << s.keyFields << " field(s) (from the " << s.keySource
      << ")\n";
  else
    o << "  primary key: none known (unkeyed)\n";
  o << "  fields (" << s.fields.size() << "):\n";
  size_t width = 4;
  for (const auto& f : s.fields) width = std::max(width, ValidUtf8(f.name).size());
  for (size_t i = 0; i < s.fields.size(); ++i) {
    const paradox::InferredField& f = s.fields[i];
    std::string num = std::to_string(i + 1);
    std::string name = ValidUtf8(f.name);
    std::string type = Letter(f.type) + std::to_string(f.sizeByte);
    o << "  " << std::string(num.size() < 3 ? 3 - num.size() : 0, ' ') << num << "  " << name
      << std::string(width - name.size(), ' ') << "  " << type
      << std::string(type.size() < 5 ? 5 - type.size() : 0, ' ') << " at " << f.offset << "  "
      << SurenessName(f.sureness) << ": " << f.why;
    if (!f.alsoFits.empty()) {
      o << "; also fits:";
      for (paradox::FieldType t : f.alsoFits) o << " " << Letter(t);
    }
    o << (f.nameSource.empty() ? "; name made up" : "; name from the " + f.nameSource) << "\n";
  }
  for (const std::string& n : s.notes) o << "  note: " << n << "\n";
}

int RunInfer(const std::vector<std::string>& args, Io& io) {
  ParsedArgs parsed;
  if (auto done = ParseCommandLine("infer-structure", kUsage, kHelp, args, {{"write", 'w', true}},
                                   &parsed, io))
    return *done;
  if (parsed.operands.size() != 1) {
    UsageError(io, "infer-structure", kUsage,
               parsed.operands.empty() ? "no table given" : "one table at a time");
    return kExitFailed;
  }
  const std::string& table = parsed.operands[0];
  if (io.fs->IsDirectory(table)) {
    Error(io, table + ": is a folder, not a table file");
    return kExitFailed;
  }
  const std::string* write = parsed.Value("write");
  if (write && write->empty()) {
    UsageError(io, "infer-structure", kUsage, "--write needs a file name");
    return kExitFailed;
  }
  if (write && io.fs->Exists(*write)) {
    Error(io, *write + ": exists already; --write makes a new file and overwrites none");
    return kExitFailed;
  }
  paradox::InferOptions options;
  options.fs = io.fs;
  auto s = paradox::InferStructure(table, options);
  if (!s.ok()) {
    const paradox::Status& st = s.status();
    Error(io, OnTable(table, (st.IsNotFound() ? std::string("no such file")
                                              : "no structure found: " + st.message())));
    return kExitFailed;
  }
  Print(io.out, table, *s);
  if (write) {
    paradox::Status st = paradox::WriteInferredTemplate(io.fs, *s, *write);
    if (!st.ok()) {
      Error(io, OnTable(*write, "template not written: " + st.message()));
      return kExitFailed;
    }
    io.out << "  template written: " << *write << " (an empty table of this structure)\n";
  }
  return kExitOk;
}

}  // namespace

REKASTO_COMMAND({"infer-structure", kUsage, "find a damaged table's structure from its data blocks",
                 &RunInfer});

}  // namespace rekasto
