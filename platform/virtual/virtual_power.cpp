// Virtual power events (powervirtual.h): the notifications' own injection.
#include "../notify/display_state.h"

#include <powervirtual.h>

void power_virtual_display(unsigned char state)
{
    if (state <= display_dimmed)
        notify_inject_power_event(false, static_cast<display_state>(state));
}

void power_virtual_resume() { notify_inject_power_event(true, display_on); }
