// zm4 registry: what the driver keeps in its registry key, read straight from
// the registry file without starting the driver: every value of its table
// (stored or at its default) and the diagnostic record it leaves for outside
// tools: the problem list, the crisis count, camera presence and fault.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/debug.h"
#include "platform/kernel/registry_store.h"
#include "settings/registry.h"
#include "tools/cli.h"
#include "tools/output_file.h"

namespace zm4::cli {

namespace {

using zm4::host::RegistryStore;
using zm4::host::RegistryValue;

struct ProblemName {
    ULONG code;
    const char *name;
};

const ProblemName kProblemNames[] = {
    {DEBUG_PROBLEM_FILLER_FRAME, "filler frame delivered"},
    {DEBUG_PROBLEM_TRANSFER_GAVE_UP, "transfer gave up"},
    {DEBUG_PROBLEM_LINK_REFUSED, "link refused after repeated failures"},
    {DEBUG_PROBLEM_EXCLUDER_TIMEOUT, "excluder wait timed out"},
    {DEBUG_PROBLEM_CAMERA_FAULT, "camera fault"},
};

std::string problemName(uint8_t code)
{
    for (const ProblemName &p : kProblemNames)
        if (p.code == code)
            return p.name;
    return "unknown problem";
}

struct TableValue {
    ULONG index;
    std::string name;
    ULONG defaultValue;
    std::optional<RegistryValue> stored;
};

struct RegistryReport {
    std::string path;
    bool fileExists = false;
    bool keyExists = false;
    std::vector<TableValue> values;
    std::optional<RegistryValue> matrix;
};

std::string utf8Name(PCWSTR name)
{
    std::u16string_view wide(name);
    std::optional<std::string> text = zm4::host::utf8FromUtf16(wide);
    if (!text)
        throw CliError(kExitIo, "registry: a value name of the driver's table is not valid text");
    return *text;
}

// The store's account of a damaged file, told as what this command did: it
// read nothing and left the file alone (the store's own words are about a
// driver that goes on running from defaults).
[[noreturn]] void failDamaged(const RegistryStore &store, const std::string &shownPath)
{
    std::string why = *store.damage();
    const std::string path = store.path().string();
    if (why.starts_with(path + " "))
        why.erase(0, path.size() + 1);
    if (const size_t tail = why.find("; the registry starts from defaults"); tail != std::string::npos)
        why.erase(tail);
    throw CliError(kExitIo, "registry: " + shownPath + (why.starts_with("line ") ? " skipped: " : " ") + why +
                                "; nothing shown, the file is left as it is");
}

RegistryReport readReport(const std::filesystem::path &path, const std::string &shownPath)
{
    RegistryReport report;
    report.path = shownPath;
    std::error_code ec;
    report.fileExists = std::filesystem::exists(path, ec);
    std::unique_ptr<RegistryStore> store = RegistryStore::openFile(path);
    // A damaged file is left exactly as it is: the user may want to repair it.
    if (store->damage())
        failDamaged(*store, shownPath);

    const std::string key(zm4::host::kDriverKeyPath);
    report.keyExists = store->keyExists(key);
    for (ULONG index = 0; index < REG_TABLE_ENTRIES; ++index) {
        const REGISTRY_TABLE_ENTRY &entry = Registry_Table[index];
        if (!entry.name)
            break; // the terminator
        TableValue value{index, utf8Name(entry.name), entry.defaultValue, std::nullopt};
        value.stored = store->read(key, value.name);
        report.values.push_back(std::move(value));
    }
    report.matrix = store->read(key, utf8Name(Registry_MatrixName));
    // A file that went bad between the first look and the reads above.
    if (store->damage())
        failDamaged(*store, shownPath);
    return report;
}

const TableValue &tableValue(const RegistryReport &report, ULONG index)
{
    for (const TableValue &value : report.values)
        if (value.index == index)
            return value;
    throw CliError(kExitIo, "registry: the driver's table has no value " + std::to_string(index));
}

// A DWORD value as the driver reads it: the stored one, or the default when absent.
struct DwordReading {
    uint32_t value;
    bool isDefault;
    bool wrongType; // stored, but not a REG_DWORD of four bytes
};

DwordReading readDword(const TableValue &value)
{
    if (!value.stored)
        return {value.defaultValue, true, false};
    if (std::optional<uint32_t> dword = value.stored->asDword())
        return {*dword, false, false};
    return {value.defaultValue, false, true};
}

// The problem list: the codes as stored, or nothing when absent (never written
// since the registry was created) or not a binary value.
struct ProblemList {
    std::vector<uint8_t> codes;
    bool wrongType = false;
};

ProblemList readProblems(const RegistryReport &report)
{
    const TableValue &list = tableValue(report, REG_DEBUG_LIST);
    ProblemList problems;
    if (!list.stored)
        return problems;
    if (list.stored->type != REG_BINARY) {
        problems.wrongType = true;
        return problems;
    }
    problems.codes = list.stored->data;
    return problems;
}

// Stored data as the registry editor exports it: "hex:01,08" for binary data,
// "hex(N):..." for data of another type N, a string in quotes.
std::string hexText(const RegistryValue &value)
{
    if (value.type == REG_SZ)
        if (std::optional<std::string> text = value.asString())
            return "\"" + printable(*text) + "\"";
    std::string text = value.type == REG_BINARY ? "hex" : "hex(" + std::to_string(value.type) + ")";
    text += ':';
    for (size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        text += (i ? "," : "") + std::string(byte);
    }
    return text;
}

// Decimal, except the large values that are bit patterns (0xFFFFFFFF: "use the camera's own").
std::string dwordText(uint32_t value)
{
    if (value <= 0xFFFF)
        return std::to_string(value);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", value);
    return hex;
}

std::string storedText(const TableValue &value)
{
    if (!value.stored)
        return "(default " + dwordText(value.defaultValue) + ")";
    if (value.index == REG_DEBUG_LIST && value.stored->type == REG_BINARY)
        return hexText(*value.stored);
    if (std::optional<uint32_t> dword = value.stored->asDword())
        return dwordText(*dword);
    return hexText(*value.stored) + " (not a DWORD)";
}

std::string yesNo(const DwordReading &reading, const char *yes, const char *no)
{
    std::string text = std::to_string(reading.value) + " (" + (reading.value ? yes : no) + ")";
    if (reading.wrongType)
        return "not a DWORD";
    return reading.isDefault ? text + ", not written yet" : text;
}

void printText(std::ostream &out, const RegistryReport &report)
{
    out << "Registry file: " << printable(report.path);
    if (!report.fileExists)
        out << " (absent: every value is at its default)";
    else if (!report.keyExists)
        out << " (the driver's key is absent: every value is at its default)";
    out << "\nKey: " << zm4::host::kDriverKeyPath << "\n\nValues:\n";
    size_t nameWidth = 0;
    for (const TableValue &value : report.values)
        nameWidth = std::max(nameWidth, value.name.size());
    for (const TableValue &value : report.values) {
        char index[16];
        std::snprintf(index, sizeof index, "%4u  ", value.index);
        out << index << value.name << std::string(nameWidth - value.name.size() + 2, ' ') << storedText(value)
            << '\n';
    }
    out << "      Matrix" << std::string(nameWidth > 6 ? nameWidth - 6 + 2 : 2, ' ')
        << (report.matrix ? hexText(*report.matrix) : "(absent)") << '\n';

    out << "\nDiagnostics:\n  Problems: ";
    ProblemList problems = readProblems(report);
    if (problems.wrongType) {
        out << "\"DebugList\" is not a binary value\n";
    } else if (problems.codes.empty()) {
        out << "none\n";
    } else {
        out << problems.codes.size() << " listed, in order of first occurrence\n";
        for (uint8_t code : problems.codes) {
            char number[16];
            std::snprintf(number, sizeof number, "%6u  ", unsigned{code});
            out << number << problemName(code) << '\n';
        }
    }
    DwordReading crises = readDword(tableValue(report, REG_DEBUG_CRISIS_COUNT));
    out << "  Crisis count: "
        << (crises.wrongType ? std::string("not a DWORD") : std::to_string(crises.value)) << '\n'
        << "  Camera present: " << yesNo(readDword(tableValue(report, REG_CAMERA_PRESENT)), "yes", "no")
        << '\n'
        << "  Camera fault: " << yesNo(readDword(tableValue(report, REG_CAMERA_FAULT)), "fault", "none")
        << '\n';
}

// A DWORD as a number, anything else as its type number and bytes, absent as null.
nlohmann::ordered_json storedJson(const std::optional<RegistryValue> &stored)
{
    if (!stored)
        return nullptr;
    if (std::optional<uint32_t> dword = stored->asDword())
        return *dword;
    return {{"type", stored->type}, {"bytes", stored->data}};
}

nlohmann::ordered_json dwordJson(const DwordReading &reading)
{
    return reading.wrongType ? nlohmann::ordered_json() : nlohmann::ordered_json(reading.value);
}

std::string toJson(const RegistryReport &report)
{
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (const TableValue &value : report.values)
        values.push_back({{"index", value.index},
                          {"name", value.name},
                          {"default", value.defaultValue},
                          {"stored", storedJson(value.stored)}});
    nlohmann::ordered_json problems = nullptr;
    if (ProblemList list = readProblems(report); !list.wrongType) {
        problems = nlohmann::ordered_json::array();
        for (uint8_t code : list.codes)
            problems.push_back({{"code", code}, {"name", problemName(code)}});
    }
    const nlohmann::ordered_json json{
        {"file", report.path},
        {"fileExists", report.fileExists},
        {"key", zm4::host::kDriverKeyPath},
        {"keyExists", report.keyExists},
        {"values", values},
        {"matrix", storedJson(report.matrix)},
        {"problems", problems},
        {"crisisCount", dwordJson(readDword(tableValue(report, REG_DEBUG_CRISIS_COUNT)))},
        {"cameraPresent", dwordJson(readDword(tableValue(report, REG_CAMERA_PRESENT)))},
        {"cameraFault", dwordJson(readDword(tableValue(report, REG_CAMERA_FAULT)))},
    };
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Standard input as a registry file: the store reads its file afresh at every
// look, which a pipe cannot give, so it reads a private copy.
class StdinCopy {
public:
    StdinCopy()
    {
        std::vector<uint8_t> bytes = readInput("-");
        std::string pattern = (std::filesystem::temp_directory_path() / "zm4-registry-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0)
            throw CliError(kExitIo, "registry: cannot keep a copy of standard input: " +
                                        std::string(std::strerror(errno)));
        ::close(fd);
        path_ = pattern;
        OutputFile copy(path_);
        copy.write(bytes);
        copy.commit();
    }
    ~StdinCopy() { ::unlink(path_.c_str()); }
    StdinCopy(const StdinCopy &) = delete;
    StdinCopy &operator=(const StdinCopy &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct RegistryOptions {
    std::string registry;
    bool registryGiven = false;
    bool json = false;
};

int runRegistry(const RegistryOptions &o)
{
    if (o.registryGiven && o.registry.empty())
        throw usageError("registry", "--registry needs a file path");
    std::optional<StdinCopy> stdinCopy;
    std::filesystem::path path;
    std::string shown;
    if (o.registry == "-") {
        stdinCopy.emplace();
        path = stdinCopy->path();
        shown = "standard input";
    } else {
        path = RegistryStore::defaultPath(o.registry);
        shown = path.string();
    }
    RegistryReport report = readReport(path, shown);
    if (o.json)
        std::cout << toJson(report);
    else
        printText(std::cout, report);
    std::cout.flush();
    return kExitOk;
}

} // namespace

std::function<int()> setupRegistry(CLI::App &cmd)
{
    auto o = std::make_shared<RegistryOptions>();
    cmd.add_option("--registry", o->registry, "the registry file to read ('-': standard input)")
        ->type_name("PATH");
    cmd.add_flag("--json", o->json, "print one JSON object");
    cmd.footer("Shows the driver's persisted values without starting it: every value of its table,\n"
               "stored or '(default N)' when absent, the colour matrix, and the diagnostic record the\n"
               "driver keeps there: the problems met since the camera was last started, in order of\n"
               "first occurrence (1 filler frame delivered, 2 transfer gave up, 4 link refused after\n"
               "repeated failures, 8 excluder wait timed out, 16 camera fault), the count of transfer\n"
               "crises, and whether the camera is present and has a fault.\n"
               "\n"
               "The registry file is --registry PATH, else $ZM4_REGISTRY, else\n"
               "$XDG_CONFIG_HOME/zm4/registry.reg, else ~/.config/zm4/registry.reg, in the registry\n"
               "editor's export format, UTF-8 or UTF-16LE with a byte-order mark. A missing file\n"
               "means every value is at its default. The file is only read, never changed; control\n"
               "characters in its text are shown escaped.\n"
               "\n"
               "Exit status: 0 success, 1 the file is damaged or unreadable, 2 usage error.");
    return [o, &cmd] {
        RegistryOptions options = *o;
        options.registryGiven = cmd.count("--registry") > 0;
        return runRegistry(options);
    };
}

} // namespace zm4::cli
