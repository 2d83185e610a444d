// The profile routines on an arbitrary file, then an arbitrary sequence of
// reads, writes and section probes, each a real file access: the model and
// the input's form are in profile_model.h. Operation 6 with a % 4 = 0: the
// file disappears, then a write, a read and a probe; 1: the file is
// read-only, then a write.
//
// Beyond the model: a missing file is reported by every routine and never
// created, a read-only file never changes, and a write leaves no temporary
// beside the file.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "fuzz/profile_model.h"
#include "names/profile_file.h"

namespace {

using tarnwick::fuzz::FuzzInput;
using namespace tarnwick::fuzz::profile_model;

std::string directory;  // one per process, removed at exit
std::string file;

class CountingMessages : public tarnwick::names::Messages {
  public:
    void file_not_found(const std::string& path) override {
        TARNWICK_FUZZ_CHECK(path == file, "reported path %s", path.c_str());
        ++not_found;
    }
    void file_created() override { ++created; }
    void name_file_unwritable(const std::string&, const std::string&) override {
        TARNWICK_FUZZ_CHECK(false, "%s", "the profile routines never create the name file");
    }
    // Only the name file's first access of a run converts a UTF-8 file.
    void file_converted(const std::string&, const std::string&) override {
        TARNWICK_FUZZ_CHECK(false, "a profile routine converted the file");
    }
    void file_not_converted(const std::string&, std::size_t, const std::string&) override {
        TARNWICK_FUZZ_CHECK(false, "a profile routine looked at the file's encoding");
    }
    void name_file_notice(const std::string& text) override {
        TARNWICK_FUZZ_CHECK(false, "a profile routine gave a notice: %s", text.c_str());
    }
    int not_found = 0;
    int created = 0;
};

class FileSession : public Session {
  protected:
    void put_contents(std::string_view bytes) override {
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::string contents() override {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string read(const std::string& section, const std::string& key) override {
        return tarnwick::names::read_ini(file, section, key, messages_);
    }

    int write(const std::string& section, const std::string& key,
              const std::string& value) override {
        return tarnwick::names::write_ini(file, section, key, value, messages_);
    }

    bool section_exists(const std::string& section) override {
        return tarnwick::names::section_exists(file, section, messages_);
    }

    void own_step(int which, FuzzInput& in) override {
        if (which == 0)
            missing_file(in);
        else
            read_only_file(in);
    }

    // The replacement happened in full: no temporary left beside the file.
    void wrote() override {
        std::size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            TARNWICK_FUZZ_CHECK(entry.path() == file, "stray file %s", entry.path().c_str());
            ++entries;
        }
        TARNWICK_FUZZ_CHECK(entries == 1, "%zu files", entries);
    }

    void stepped() override {
        TARNWICK_FUZZ_CHECK(messages_.not_found == expected_not_found_ && messages_.created == 0,
                            "%d reports of a missing file, %d of a created one",
                            messages_.not_found, messages_.created);
    }

  private:
    // Every routine reports the missing file and touches nothing; a write
    // never creates it.
    void missing_file(FuzzInput& in) {
        const std::string bytes = contents();
        ::unlink(file.c_str());
        const Text section = text(in);
        const Text key = text(in);
        const Text value = text(in);
        TARNWICK_FUZZ_CHECK(write(utf8(section), utf8(key), utf8(value)) == 0,
                            "write_ini on a missing file");
        TARNWICK_FUZZ_CHECK(!std::filesystem::exists(file), "write_ini created the file");
        TARNWICK_FUZZ_CHECK(read(utf8(section), utf8(key)).empty(), "read_ini on a missing file");
        TARNWICK_FUZZ_CHECK(!section_exists(utf8(section)), "section_exists on a missing file");
        expected_not_found_ += 3;
        put_contents(bytes);
    }

    void read_only_file(FuzzInput& in) {
        const std::string before = contents();
        ::chmod(file.c_str(), 0444);
        const Text section = text(in);
        const Text key = text(in);
        const Text value = text(in);
        const int result = write(utf8(section), utf8(key), utf8(value));
        ::chmod(file.c_str(), 0644);
        TARNWICK_FUZZ_CHECK(result == 0, "write_ini changed a read-only file");
        TARNWICK_FUZZ_CHECK(contents() == before, "a read-only file changed");
    }

    CountingMessages messages_;
    int expected_not_found_ = 0;
};

void remove_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fill_pool();
    // Every write flushes the file to disk; memory-backed storage keeps that cheap.
    std::error_code error;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, error) || ::access(base.c_str(), W_OK) != 0)
        base = std::filesystem::temp_directory_path();
    std::string pattern = (base / "tarnwick-profile-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    directory = pattern;
    file = directory + "/name.txt";
    std::atexit(remove_directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    FileSession session;
    session.run(in);
    return 0;
}
