// winsim-dbgview: prints the debugger output of the simulated machine's processes as it arrives,
// one line per message, prefixed with the sending process id. Stops on Ctrl+C.
#include "machine/DebugOutputListener.h"

#include <signal.h>
#include <stdio.h>
#include <time.h>

static volatile sig_atomic_t g_stop = 0;

static void OnSignal(int)
{
    g_stop = 1;
}

int main()
{
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    winsim::machine::DebugOutputListener listener;
    if (!listener.Listening())
    {
        fprintf(stderr, "winsim-dbgview: another listener is already attached to %s\n",
                listener.MachineDirectory().c_str());
        return 1;
    }
    fprintf(stderr, "winsim-dbgview: listening on the machine at %s\n", listener.MachineDirectory().c_str());
    size_t shown = 0;
    auto show = [&] {
        std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
        for (; shown < messages.size(); ++shown)
        {
            const std::string& text = messages[shown].text;
            bool endsLine = !text.empty() && text.back() == '\n';
            printf("[%u] %s%s", messages[shown].processId, text.c_str(), endsLine ? "" : "\n");
        }
        fflush(stdout);
    };
    while (!g_stop)
    {
        show();
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    // Whatever arrived before the stop is still shown.
    show();
    return 0;
}
