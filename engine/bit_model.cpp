#include "engine/bit_model.h"

#include <cstring>

BitModel bit_model;
uint8_t raw_subblock_flag = 0;

void BitModel::reset()
{
    std::memset(table, 0, sizeof table);
    prev_byte = 0;
    node = 1;
    run_flag = 0;
}
