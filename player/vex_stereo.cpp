// Stereo output for hosts: the driver's panning wrapper behind a vex_ call.
#include "driver/sd_panning.h"
#include "tunedump/tunedump.h"

void vex_set_stereo(int32_t separation)
{
    if (separation < 0)
        sd_panning_off();
    else
        sd_panning_on(separation < 100 ? separation : 100);
}
