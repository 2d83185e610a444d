// The profile engine on text in memory, under the same model and inputs as
// profile_fuzz (profile_model.h) but without a file access per operation, so
// that far more inputs run in the same time. Reads, writes and section probes
// go through the engine as the file routines use it: to_profile_edit, then
// Profile::edited on one edit; profile_value; has_line.
//
// Operation 6 with a % 4 = 0 (replace) or 1 (keep): a batch of a byte % 4 + 1
// edits (section, key, value each) in one Profile::edited call must leave the
// text byte for byte as the same writes one at a time; with keep, a write is
// skipped when the model's reader finds its key in the text at that point.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/profile_model.h"
#include "names/gbk.h"
#include "names/profile.h"
#include "names/profile_file.h"

namespace {

using tarnwick::fuzz::FuzzInput;
using tarnwick::names::Profile;
using tarnwick::names::ProfileEdit;
using tarnwick::names::WriteError;
using namespace tarnwick::fuzz::profile_model;

class TextSession : public Session {
  protected:
    void put_contents(std::string_view bytes) override { set_text(std::string(bytes)); }

    std::string contents() override { return text_; }

    std::string read(const std::string& section, const std::string& key) override {
        return tarnwick::names::profile_value(profile_, section, key);
    }

    int write(const std::string& section, const std::string& key,
              const std::string& value) override {
        ProfileEdit edit;
        if (tarnwick::names::to_profile_edit(section, key, value, edit) != WriteError::none)
            return 0;
        set_text(profile_.edited({&edit, 1}));
        return 1;
    }

    bool section_exists(const std::string& section) override {
        const auto header = tarnwick::names::utf8_to_gbk("[" + section + "]");
        return header && tarnwick::names::has_line(text_, *header);
    }

    void own_step(int which, FuzzInput& in) override {
        const auto existing = which == 0 ? Profile::Existing::replace : Profile::Existing::keep;
        struct Write {
            Text section, key, value;
        };
        std::vector<Write> writes(in.byte() % 4 + 1);
        std::vector<ProfileEdit> edits;
        for (auto& w : writes) {
            w = {text(in), text(in), text(in)};
            ProfileEdit edit;
            if (tarnwick::names::to_profile_edit(utf8(w.section), utf8(w.key), utf8(w.value),
                                                 edit) == WriteError::none)
                edits.push_back(std::move(edit));
        }
        const std::string batched = profile_.edited(edits, existing);
        for (const auto& w : writes) {
            if (existing == Profile::Existing::keep && storable(w.section, w.key, w.value) &&
                reference_line(text_, *gbk(w.section), *gbk(w.key)))
                continue;
            checked_write(w.section, w.key, w.value);
        }
        TARNWICK_FUZZ_CHECK(batched == text_,
                            "%zu edits in one pass (%s) differ from single writes", edits.size(),
                            which == 0 ? "replace" : "keep");
    }

  private:
    // Parsed once per change: the checks read many keys between writes.
    void set_text(std::string text) {
        text_ = std::move(text);
        profile_ = Profile(text_);
    }

    std::string text_;
    Profile profile_{text_};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fill_pool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    TextSession session;
    session.run(in);
    return 0;
}
