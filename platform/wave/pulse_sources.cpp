// Which source a sound server (PulseAudio, or PipeWire's pulse service)
// has for an ALSA card: asked over the pulse protocol, which both servers
// speak and which shows every source's ALSA card.
//
// The server is the user's own: PULSE_SERVER where set, else the socket
// in XDG_RUNTIME_DIR. It is named explicitly so that libpulse neither
// starts a server nor takes an address from the X display, where any
// client could have put one.
#include "wave_internal.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

// A server that does not answer in time has no source for us.
constexpr auto kLookupTime = std::chrono::milliseconds(1000);

struct lookup {
    std::string card;
    std::optional<pulse_source> found;
    bool pipewire = false;
    int pending = 0;  // replies still to come
};

}  // namespace

std::string pulse_server_address()
{
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server)
        return server;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return {};
    return std::string("unix:") + runtime + "/pulse/native";
}

namespace {

bool is_card(pa_proplist* props, const std::string& card)
{
    // PulseAudio and PipeWire put alsa.card on a card's sources; PipeWire
    // also api.alsa.pcm.card (api.alsa.card stays on its device object).
    for (const char* key : {"alsa.card", "api.alsa.pcm.card", "api.alsa.card"})
        if (const char* value = pa_proplist_gets(props, key); value && card == value)
            return true;
    return false;
}

}  // namespace

std::optional<pulse_source> pulse_card_source(int card)
{
    const std::string server = pulse_server_address();
    if (server.empty())
        return std::nullopt;
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return std::nullopt;
    pa_proplist* about = pa_proplist_new();
    pa_proplist_sets(about, PA_PROP_APPLICATION_NAME, "Vistamo");
    pa_context* context = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "Vistamo", about);
    pa_proplist_free(about);
    lookup q;
    q.card = std::to_string(card);
    if (context && pa_context_connect(context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + kLookupTime;
        bool asked = false;
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
                break;
            if (state == PA_CONTEXT_READY && !asked) {
                asked = true;
                q.pending = 2;
                pa_operation* op = pa_context_get_server_info(
                    context,
                    [](pa_context*, const pa_server_info* info, void* user) {
                        auto* self = static_cast<lookup*>(user);
                        self->pipewire = info && info->server_name && std::strstr(info->server_name, "PipeWire");
                        --self->pending;
                    },
                    &q);
                if (op)
                    pa_operation_unref(op);
                else
                    --q.pending;
                op = pa_context_get_source_info_list(
                    context,
                    [](pa_context*, const pa_source_info* info, int eol, void* user) {
                        auto* self = static_cast<lookup*>(user);
                        if (eol) {
                            --self->pending;
                            return;
                        }
                        // A monitor is what a sink plays, not what the card records.
                        if (!self->found && info && info->name && info->monitor_of_sink == PA_INVALID_INDEX &&
                            is_card(info->proplist, self->card))
                            self->found = pulse_source{info->name, false};
                    },
                    &q);
                if (op)
                    pa_operation_unref(op);
                else
                    --q.pending;
            }
            if (asked && q.pending <= 0)
                break;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop) < 0 ||
                pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (asked && q.pending <= 0 && q.found)
            q.found->pipewire = q.pipewire;
        else
            q.found.reset();
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return q.found;
}
