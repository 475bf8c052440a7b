// A private ALSA configuration for tests that go through the real ALSA path
// of the wave layer (WAVE_MAPPER opens ALSA's "default" PCM) without sound
// hardware.
//
// While an alsa_test_config lives, this process's ALSA configuration is a
// file in a temporary folder: the system's /usr/share/alsa/alsa.conf (so
// that plugin types resolve) with "default" replaced. ALSA rereads its
// configuration on every open, so streams opened after the constructor use
// it and streams opened after the destructor use the previous one again.
// Set it up before opening anything, from the test's thread: it changes
// ALSA_CONFIG_PATH in the environment.
//
//   alsa_test_config alsa(alsa_test_config::file_pcm(out_path, in_path));
//   // waveOutOpen(..., WAVE_MAPPER, ...) now writes raw samples to
//   // out_path; waveInOpen(...) reads them from in_path.
//
// file_pcm: playback goes to ALSA's file plugin over its null device,
// which writes every frame it is given as raw samples in the stream's
// format (s16le for 16-bit) to playback_file, truncated at each open. The
// plugin holds back up to one buffer (about 50 ms), so the file is
// complete once the stream is reset or closed. Capture is the file plugin
// reading capture_infile (raw samples in the stream's format), which must
// exist when the stream is opened; once it ends, capture delivers nothing
// more. Neither device has a clock of its own: the wave layer paces them
// at the stream's rate, like a sound card.
//
// missing_pcm: "default" is a sound card that is not there, so every open
// fails as on a machine without one.
//
// pipe_pcm: playback goes to the file plugin writing into a pipe to
// `sh -c command`, as to a sound server's socket: once the command ends,
// writes meet a reader that has gone.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

class alsa_test_config {
public:
    // default_pcm: the body of an ALSA PCM definition, as the factories
    // below make it.
    explicit alsa_test_config(const std::string& default_pcm)
    {
        if (const char* old = std::getenv("ALSA_CONFIG_PATH"))
            m_previous = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "vistamo-alsa-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("alsa_test_config: cannot make a temporary folder");
        m_dir = pattern;
        const std::string conf = (m_dir / "asound.conf").string();
        std::ofstream out(conf);
        out << "</usr/share/alsa/alsa.conf>\n"
               // The system's and the user's own files, which alsa.conf loads
               // after everything else, could take "default" back.
               "!@hooks []\n"
               "pcm.!default {\n"
            << default_pcm << "\n}\n";
        out.close();
        ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    }

    ~alsa_test_config()
    {
        if (m_previous)
            ::setenv("ALSA_CONFIG_PATH", m_previous->c_str(), 1);
        else
            ::unsetenv("ALSA_CONFIG_PATH");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    alsa_test_config(const alsa_test_config&) = delete;
    alsa_test_config& operator=(const alsa_test_config&) = delete;

    // The temporary folder, removed with the object; a place for the
    // test's own files too.
    const std::filesystem::path& dir() const { return m_dir; }

    static std::string file_pcm(const std::string& playback_file, const std::string& capture_infile)
    {
        return "  type asym\n"
               "  playback.pcm { type file slave.pcm null format raw file \"" +
               playback_file +
               "\" }\n"
               "  capture.pcm { type file slave.pcm null format raw file \"/dev/null\" infile \"" +
               capture_infile + "\" }\n";
    }

    static std::string missing_pcm() { return "  type hw\n  card 31\n"; }

    // command: shell text without double quotes or backslashes.
    static std::string pipe_pcm(const std::string& command)
    {
        return "  type file slave.pcm null format raw file \"|" + command + "\"\n";
    }

private:
    std::filesystem::path m_dir;
    std::optional<std::string> m_previous;
};
