// Arbitrary bytes through the whole pass on a real file, checked against
// properties of the result rather than a second converter: every byte before
// the first byte 26 comes through in order (less the CR of each CR LF pair),
// one output line per input line, each ended by CR LF, and a line gets its
// number (100 plus its position) exactly when its key field reads as zero.
// A file refused as not text stays as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "search_key_converter.h"

namespace {

using std::string;

const size_t kChunk = 4 << 10;  // the pass's block size in this build

[[noreturn]] void Violated(const char* pszWhat, const string& detail) {
    std::fprintf(stderr, "property violated: %s %s\n", pszWhat, detail.c_str());
    std::abort();
}

const string& Folder() {
    static const string folder = [] {
        // A memory file system keeps the flush to disk cheap.
        string templ =
            (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + string("/pass_fuzzer.XXXXXX");
        if (mkdtemp(&templ[0]) == nullptr)
            Violated("setup", "mkdtemp");
        return templ;
    }();
    return folder;
}

void WriteFile(const string& path, const string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        close(fd) != 0)
        Violated("setup", "cannot write " + path);
}

string ReadFile(const string& path) {
    string bytes;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        Violated("the file is gone", path);
    char buf[kChunk];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    close(fd);
    return bytes;
}

// The input's lines: text up to the first byte 26, split at line feeds, the
// CR of a CR LF pair dropped; text after the last line feed is a last line.
std::vector<string> InputLines(const string& file) {
    const string text = file.substr(0, file.find('\x1a'));
    std::vector<string> lines;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != string::npos; start = lf + 1) {
        size_t end = lf;
        if (end > start && text[end - 1] == '\r')
            --end;
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// The key field read as a number: blanks, at most one sign, then digits.
bool KeyIsZero(const string& line) {
    std::vector<string> fields(1);
    for (char c : line) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() > 1 && fields.back().empty())
        fields.pop_back();  // a comma at the end opens no field
    const string& key = fields.back();
    size_t i = key.find_first_not_of(" \t\n\v\f\r");
    if (i == string::npos)
        return true;
    if (key[i] == '+' || key[i] == '-')
        ++i;
    for (; i < key.size() && key[i] >= '0' && key[i] <= '9'; ++i)
        if (key[i] != '0')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An odd first byte pads the input so that its bytes fall on the pass's
    // first read boundary: CR LF pairs and bytes 26 get split between reads.
    string file;
    if (size > 0 && (data[0] & 1))
        file.assign(kChunk - 1 - (data[0] >> 1) % 16, 'x');
    if (size > 0)
        file.append(reinterpret_cast<const char*>(data) + 1, size - 1);

    const string path = Folder() + "/in.csv";
    WriteFile(path, file);
    SearchKeyConverter conv;
    const int nResult = conv.Convert(path.c_str());
    if (!nResult && conv.FailedStep() == sk::ConvertStep::kNotText && ReadFile(path) == file)
        return 0;
    if (!nResult) {
        const string why = "step " + std::to_string(static_cast<int>(conv.FailedStep())) +
                           ", error " + std::to_string(conv.FailedError());
        Violated("the pass failed:", why.c_str());
    }
    if (access((Folder() + "/workfile.txt").c_str(), F_OK) == 0)
        Violated("a work file is left", "");
    const string out = ReadFile(path);

    const std::vector<string> lines = InputLines(file);
    size_t pos = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const string expected =
            lines[i] + (KeyIsZero(lines[i]) ? std::to_string(100 + i) : "") + "\r\n";
        if (out.compare(pos, expected.size(), expected) != 0)
            Violated("line differs:", "line " + std::to_string(i + 1));
        pos += expected.size();
    }
    if (pos != out.size())
        Violated("output has more than the input's lines", "");
    return 0;
}
