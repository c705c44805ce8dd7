#include "engine/media_params.h"

uint8_t sample_bytes = 1;
uint8_t channel_count = 0;
int32_t image_width = 0;
int32_t image_height = 0;
