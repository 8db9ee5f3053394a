#include "sim/flash_parts.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

constexpr uint32_t KiB = 1024;
constexpr std::array<uint8_t, 6> kNoRdid{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<uint8_t, 2> kNone{0xFF, 0xFF};
using PS = ProgramStyle;

// clang-format off
// One row per part. At least one part of every maker the bridges tell apart. The 0x9F replies
// carry the bytes a six-byte read clocks in, so the capacity probes see what the part sends.
constexpr FlashPart kFlashParts[] = {
//  name           0x9F reply                           0x90          0xAB          0x15          size        sector    half      block      page  style        prog_us sect_ms half_ms blk_ms chip_ms max: prog_us sect_ms half_ms blk_ms chip_ms type known prot
    {"Pm25LD010",  {0x7F, 0x9D, 0x21, 0x7F, 0x9D, 0x21}, {0x9D, 0x10}, {0x9D, 0x10}, kNone,        128 * KiB,  4 * KiB,  0,        32 * KiB,  256, PS::Page,    1000,   40,    0,      100,   100,    3000,   200,    0,      300,   400,     1,   true,  0},
    {"Pm25LV512",  kNoRdid,                              {0x9D, 0x7B}, {0x9D, 0x7B}, kNone,        64 * KiB,   4 * KiB,  0,        32 * KiB,  256, PS::Page,    1000,   40,    0,      100,   100,    3000,   200,    0,      300,   400,     1,   true,  0},
    {"Pm25LD512",  {0x7F, 0x9D, 0x20, 0x7F, 0x9D, 0x20}, {0x9D, 0x05}, {0x9D, 0x05}, kNone,        64 * KiB,   4 * KiB,  0,        32 * KiB,  256, PS::Page,    1000,   40,    0,      100,   100,    3000,   200,    0,      300,   400,     1,   true,  0},
    {"Pm25LD020",  {0x7F, 0x9D, 0x22, 0x7F, 0x9D, 0x22}, {0x9D, 0x11}, {0x9D, 0x11}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1000,   40,    0,      100,   200,    3000,   200,    0,      300,   800,     1,   true,  0},
    {"Pm25LV010A", {0x7F, 0x9D, 0x7C, 0x7F, 0x9D, 0x7C}, {0x9D, 0x7C}, {0x9D, 0x7C}, kNone,        128 * KiB,  4 * KiB,  0,        32 * KiB,  256, PS::Page,    1000,   40,    0,      100,   100,    3000,   200,    0,      300,   400,     1,   true,  0},
    {"Pm25LV020",  {0x7F, 0x9D, 0x7D, 0x7F, 0x9D, 0x7D}, {0x9D, 0x7D}, {0x9D, 0x7D}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1000,   40,    0,      100,   200,    3000,   200,    0,      300,   800,     1,   false, 0},
    {"Pm25LV040",  {0x7F, 0x9D, 0x7E, 0x7F, 0x9D, 0x7E}, {0x9D, 0x7E}, {0x9D, 0x7E}, kNone,        512 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1000,   40,    0,      100,   400,    3000,   200,    0,      300,   1600,    1,   true,  0},
    {"SST25VF512", kNoRdid,                              {0xBF, 0x48}, {0xBF, 0x48}, kNone,        64 * KiB,   4 * KiB,  32 * KiB, 0,         1,   PS::SstByte, 20,     18,    18,     18,    70,     60,     90,     72,     54,    280,     2,   false, 0x1C},
    {"SST25VF010", kNoRdid,                              {0xBF, 0x49}, {0xBF, 0x49}, kNone,        128 * KiB,  4 * KiB,  32 * KiB, 0,         1,   PS::SstByte, 20,     18,    18,     18,    70,     60,     90,     72,     54,    280,     2,   false, 0x1C},
    {"SST25VF016B",{0xBF, 0x25, 0x41, 0xBF, 0x25, 0x41}, {0xBF, 0x41}, {0xBF, 0x41}, kNone,        2048 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  2,   PS::SstWord, 10,     18,    18,     18,    40,     30,     90,     72,     54,    160,     2,   false, 0x1C},
    {"SST25VF032B", {0xBF, 0x25, 0x4A, 0xBF, 0x25, 0x4A}, {0xBF, 0x4A}, {0xBF, 0x4A}, kNone,        4096 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  2,   PS::SstWord, 10,     18,    18,     18,    40,     30,     90,     72,     54,    160,     2,   false, 0x1C},
    {"M25P10",     {0x20, 0x20, 0x11, 0x20, 0x20, 0x11}, kNone,        {0x10, 0x10}, kNone,        128 * KiB,  0,        0,        32 * KiB,  256, PS::Page,    1400,   650,   0,      650,   1300,   4200,   1950,   0,      1950,  5200,    3,   true,  0},
    {"M25P40",     {0x20, 0x20, 0x13, 0x20, 0x20, 0x13}, kNone,        {0x12, 0x12}, kNone,        512 * KiB,  0,        0,        64 * KiB,  256, PS::Page,    1400,   600,   0,      600,   4500,   4200,   1800,   0,      1800,  18000,   3,   true,  0},
    {"M25P05",     kNoRdid,                              kNone,        {0x05, 0x05}, kNone,        64 * KiB,   0,        0,        32 * KiB,  256, PS::Page,    1400,   650,   0,      650,   1300,   4200,   1950,   0,      1950,  5200,    3,   true,  0},
    {"M25P05A",    {0x20, 0x20, 0x10, 0x20, 0x20, 0x10}, kNone,        {0x05, 0x05}, kNone,        64 * KiB,   0,        0,        32 * KiB,  256, PS::Page,    1400,   650,   0,      650,   1300,   4200,   1950,   0,      1950,  5200,    3,   true,  0},
    {"M25P20",     {0x20, 0x20, 0x12, 0x20, 0x20, 0x12}, kNone,        {0x11, 0x11}, kNone,        256 * KiB,  0,        0,        64 * KiB,  256, PS::Page,    1400,   600,   0,      600,   3000,   4200,   1800,   0,      1800,  12000,   3,   true,  0},
    {"M25P80",     {0x20, 0x20, 0x14, 0x20, 0x20, 0x14}, kNone,        {0x13, 0x13}, kNone,        1024 * KiB, 0,        0,        64 * KiB,  256, PS::Page,    1400,   600,   0,      600,   8000,   4200,   1800,   0,      1800,  32000,   3,   true,  0},
    {"M25P16",     {0x20, 0x20, 0x15, 0x20, 0x20, 0x15}, kNone,        {0x14, 0x14}, kNone,        2048 * KiB, 0,        0,        64 * KiB,  256, PS::Page,    1400,   600,   0,      600,   13000,  4200,   1800,   0,      1800,  52000,   3,   false, 0},
    {"M25P32",     {0x20, 0x20, 0x16, 0x20, 0x20, 0x16}, kNone,        {0x15, 0x15}, kNone,        4096 * KiB, 0,        0,        64 * KiB,  256, PS::Page,    1400,   600,   0,      600,   23000,  4200,   1800,   0,      1800,  92000,   3,   true,  0},
    {"AT25F512B",  {0x1F, 0x65, 0x01, 0x1F, 0x65, 0x01}, {0x1F, 0x65}, kNone,        kNone,        64 * KiB,   4 * KiB,  32 * KiB, 32 * KiB,  256, PS::Page,    1000,   50,    250,    250,   400,    3000,   250,    1000,   750,   1600,    4,   true,  0},
    {"AT25FS010",  {0x1F, 0x66, 0x01, 0x1F, 0x66, 0x01}, {0x1F, 0x66}, kNone,        kNone,        128 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1000,   50,    250,    250,   600,    3000,   250,    1000,   750,   2400,    4,   true,  0},
    {"AT25F1024A", kNoRdid,                              kNone,        kNone,        {0x1F, 0x60}, 128 * KiB,  0,        32 * KiB, 0,         256, PS::Page,    1000,   250,   250,    250,   1100,   3000,   1250,   1000,   750,   4400,    4,   true,  0},
    {"AT25DF041A", {0x1F, 0x44, 0x01, 0x1F, 0x44, 0x01}, kNone,        kNone,        kNone,        512 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1000,   50,    250,    400,   3500,   3000,   250,    1000,   1200,  14000,   4,   true,  0x0C},
    {"MX25L512",   {0xC2, 0x20, 0x10, 0xC2, 0x20, 0x10}, {0xC2, 0x04}, {0x04, 0x04}, kNone,        64 * KiB,   4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   90,    1000,   1000,  1000,   4200,   450,    4000,   3000,  4000,    5,   true,  0},
    {"MX25L1006E", {0xC2, 0x20, 0x11, 0xC2, 0x20, 0x11}, {0xC2, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   40,    400,    400,   1000,   4200,   200,    1600,   1200,  4000,    5,   true,  0},
    {"MX25L1021E", {0xC2, 0x22, 0x11, 0xC2, 0x22, 0x11}, {0xC2, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  64 * KiB, 64 * KiB,  32,  PS::Page,    150,    40,    400,    400,   1000,   450,    200,    1600,   1200,  4000,    5,   true,  0},
    {"MX25L4005A", {0xC2, 0x20, 0x13, 0xC2, 0x20, 0x13}, {0xC2, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   60,    700,    700,   3500,   4200,   300,    2800,   2100,  14000,   5,   true,  0},
    {"MX25L2006E", {0xC2, 0x20, 0x12, 0xC2, 0x20, 0x12}, {0xC2, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   60,    700,    700,   1800,   4200,   300,    2800,   2100,  7200,    5,   true,  0},
    {"MX25L8006E", {0xC2, 0x20, 0x14, 0xC2, 0x20, 0x14}, {0xC2, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   60,    700,    700,   7500,   4200,   300,    2800,   2100,  30000,   5,   true,  0},
    {"MX25L1606E", {0xC2, 0x20, 0x15, 0xC2, 0x20, 0x15}, {0xC2, 0x14}, {0x14, 0x14}, kNone,        2048 * KiB, 4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   60,    700,    700,   14000,  4200,   300,    2800,   2100,  56000,   5,   true,  0},
    {"MX25L3206E", {0xC2, 0x20, 0x16, 0xC2, 0x20, 0x16}, {0xC2, 0x15}, {0x15, 0x15}, kNone,        4096 * KiB, 4 * KiB,  64 * KiB, 64 * KiB,  256, PS::Page,    1400,   60,    700,    700,   25000,  4200,   300,    2800,   2100,  100000,  5,   false, 0},
    {"MX25L6406E", {0xC2, 0x20, 0x17, 0xC2, 0x20, 0x17}, {0xC2, 0x16}, {0x16, 0x16}, kNone,        8192 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1400,   60,    0,      700,   50000,  4200,   300,    0,      2100,  200000,  5,   true,  0},
    {"MX25L5121E", {0xC2, 0x22, 0x10, 0xC2, 0x22, 0x10}, {0xC2, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  64 * KiB, 64 * KiB,  32,  PS::Page,    150,    40,    400,    400,   1000,   450,    200,    1600,   1200,  4000,    5,   true,  0},
    {"MX25L4021E", {0xC2, 0x22, 0x13, 0xC2, 0x22, 0x13}, {0xC2, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  64 * KiB, 64 * KiB,  32,  PS::Page,    150,    40,    400,    400,   3500,   450,    200,    1600,   1200,  14000,   5,   true,  0},
    {"W25X40",     {0xEF, 0x30, 0x13, 0xEF, 0x30, 0x13}, {0xEF, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   150,   600,    1000,  4000,   4500,   750,    2400,   3000,  16000,   6,   true,  0},
    {"W25Q128FV",  {0xEF, 0x40, 0x18, 0xEF, 0x40, 0x18}, {0xEF, 0x17}, {0x17, 0x17}, kNone,        16384 * KiB,4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    700,    45,    120,    150,   40000,  2100,   225,    480,    450,   160000,  6,   true,  0},
    {"W25X05",     {0xEF, 0x30, 0x10, 0xEF, 0x30, 0x10}, {0xEF, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    800,    60,    200,    300,   1000,   2400,   300,    800,    900,   4000,    6,   true,  0},
    {"W25X10",     {0xEF, 0x30, 0x11, 0xEF, 0x30, 0x11}, {0xEF, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   150,   600,    1000,  2000,   4500,   750,    2400,   3000,  8000,    6,   true,  0},
    {"W25X20",     {0xEF, 0x30, 0x12, 0xEF, 0x30, 0x12}, {0xEF, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   150,   600,    1000,  2000,   4500,   750,    2400,   3000,  8000,    6,   false, 0},
    {"W25X80",     {0xEF, 0x30, 0x14, 0xEF, 0x30, 0x14}, {0xEF, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   150,   600,    1000,  10000,  4500,   750,    2400,   3000,  40000,   6,   true,  0},
    {"A25L512",    {0x37, 0x30, 0x10, 0x37, 0x30, 0x10}, {0x37, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  1000,   4500,   600,    0,      3000,  4000,    7,   false, 0},
    {"A25L10PT",   {0x7F, 0x37, 0x20, 0x21, 0x7F, 0x37}, {0x37, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L05PU",   {0x7F, 0x37, 0x20, 0x10, 0x7F, 0x37}, {0x37, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  0,        32 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  1000,   4500,   600,    0,      3000,  4000,    7,   false, 0},
    {"A25L010",    {0x37, 0x30, 0x11, 0x37, 0x30, 0x11}, {0x37, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L020",    {0x37, 0x30, 0x12, 0x37, 0x30, 0x12}, {0x37, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L040",    {0x37, 0x30, 0x13, 0x37, 0x30, 0x13}, {0x37, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  4000,   4500,   600,    0,      3000,  16000,   7,   false, 0},
    {"A25L080",    {0x37, 0x30, 0x14, 0x37, 0x30, 0x14}, {0x37, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  8000,   4500,   600,    0,      3000,  32000,   7,   false, 0},
    {"A25L016",    {0x37, 0x30, 0x15, 0x37, 0x30, 0x15}, {0x37, 0x14}, {0x14, 0x14}, kNone,        2048 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  16000,  4500,   600,    0,      3000,  64000,   7,   false, 0},
    {"A25L032",    {0x37, 0x30, 0x16, 0x37, 0x30, 0x16}, {0x37, 0x15}, {0x15, 0x15}, kNone,        4096 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  32000,  4500,   600,    0,      3000,  128000,  7,   false, 0},
    {"A25L10PU",   {0x7F, 0x37, 0x20, 0x11, 0x7F, 0x37}, {0x37, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L20PU",   {0x7F, 0x37, 0x20, 0x12, 0x7F, 0x37}, {0x37, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L05PT",   {0x7F, 0x37, 0x20, 0x20, 0x7F, 0x37}, {0x37, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  0,        32 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  1000,   4500,   600,    0,      3000,  4000,    7,   false, 0},
    {"A25L20PT",   {0x7F, 0x37, 0x20, 0x22, 0x7F, 0x37}, {0x37, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  2000,   4500,   600,    0,      3000,  8000,    7,   false, 0},
    {"A25L80P",    {0x7F, 0x37, 0x20, 0x14, 0x7F, 0x37}, {0x37, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   120,   0,      1000,  8000,   4500,   600,    0,      3000,  32000,   7,   false, 0},
    {"EN25F40",    {0x1C, 0x31, 0x13, 0x1C, 0x31, 0x13}, {0x1C, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   5000,   4500,   450,    0,      1500,  20000,   8,   true,  0},
    {"EN25P05",    {0x1C, 0x20, 0x10, 0x1C, 0x20, 0x10}, {0x1C, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   0,        0,        32 * KiB,  256, PS::Page,    1500,   500,   0,      500,   1000,   4500,   1500,   0,      1500,  4000,    8,   true,  0},
    {"EN25F05",    {0x1C, 0x31, 0x10, 0x1C, 0x31, 0x10}, {0x1C, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   1000,   4500,   450,    0,      1500,  4000,    8,   true,  0},
    {"EN25F10",    {0x1C, 0x31, 0x11, 0x1C, 0x31, 0x11}, {0x1C, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   1500,   4500,   450,    0,      1500,  6000,    8,   true,  0},
    {"EN25F20",    {0x1C, 0x31, 0x12, 0x1C, 0x31, 0x12}, {0x1C, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   2500,   4500,   450,    0,      1500,  10000,   8,   false, 0},
    {"EN25F80",    {0x1C, 0x31, 0x14, 0x1C, 0x31, 0x14}, {0x1C, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   10000,  4500,   450,    0,      1500,  40000,   8,   true,  0},
    {"EN25F16",    {0x1C, 0x31, 0x15, 0x1C, 0x31, 0x15}, {0x1C, 0x14}, {0x14, 0x14}, kNone,        2048 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   17000,  4500,   450,    0,      1500,  68000,   8,   true,  0},
    {"EN25F32",    {0x1C, 0x31, 0x16, 0x1C, 0x31, 0x16}, {0x1C, 0x15}, {0x15, 0x15}, kNone,        4096 * KiB, 4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   90,    0,      500,   30000,  4500,   450,    0,      1500,  120000,  8,   true,  0},
    {"EN25P10",    {0x1C, 0x20, 0x11, 0x1C, 0x20, 0x11}, {0x1C, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  0,        0,        32 * KiB,  256, PS::Page,    1500,   500,   0,      500,   2000,   4500,   1500,   0,      1500,  8000,    8,   true,  0},
    {"EN25P16",    {0x1C, 0x20, 0x15, 0x1C, 0x20, 0x15}, {0x1C, 0x14}, {0x14, 0x14}, kNone,        2048 * KiB, 0,        0,        64 * KiB,  256, PS::Page,    1500,   500,   0,      500,   17000,  4500,   1500,   0,      1500,  68000,   8,   false, 0},
    {"EN25P64",    {0x1C, 0x20, 0x17, 0x1C, 0x20, 0x17}, {0x1C, 0x16}, {0x16, 0x16}, kNone,        8192 * KiB, 0,        0,        64 * KiB,  256, PS::Page,    1500,   500,   0,      500,   64000,  4500,   1500,   0,      1500,  256000,  8,   true,  0},
    {"F25L01PA",   {0x8C, 0x30, 0x11, 0x8C, 0x30, 0x11}, {0x8C, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   1000,   4500,   450,    1200,   1500,  4000,    9,   true,  0},
    {"F25L32PA",   {0x8C, 0x20, 0x16, 0x8C, 0x20, 0x16}, {0x8C, 0x15}, {0x15, 0x15}, kNone,        4096 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   30000,  4500,   450,    1200,   1500,  120000,  9,   true,  0},
    {"F25L02PA",   {0x8C, 0x30, 0x12, 0x8C, 0x30, 0x12}, {0x8C, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   2000,   4500,   450,    1200,   1500,  8000,    9,   true,  0},
    {"F25L04PA",   {0x8C, 0x30, 0x13, 0x8C, 0x30, 0x13}, {0x8C, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   4000,   4500,   450,    1200,   1500,  16000,   9,   true,  0},
    {"F25L08PA",   {0x8C, 0x30, 0x14, 0x8C, 0x30, 0x14}, {0x8C, 0x13}, {0x13, 0x13}, kNone,        1024 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   8000,   4500,   450,    1200,   1500,  32000,   9,   false, 0},
    {"F25L16PA",   {0x8C, 0x21, 0x15, 0x8C, 0x21, 0x15}, {0x8C, 0x14}, {0x14, 0x14}, kNone,        2048 * KiB, 4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    1500,   90,    300,    500,   15000,  4500,   450,    1200,   1500,  60000,   9,   true,  0},
    {"LE25FW203A", {0x62, 0x16, 0x12, 0x62, 0x16, 0x12}, {0x62, 0x44}, {0x44, 0x44}, kNone,        256 * KiB,  4 * KiB,  0,        64 * KiB,  256, PS::Page,    1500,   40,    0,      80,    900,    4500,   200,    0,      240,   3600,    10,  true,  0},
    {"GD25Q20",    {0xC8, 0x40, 0x12, 0xC8, 0x40, 0x12}, {0xC8, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    700,    50,    140,    160,   2000,   2100,   250,    560,    480,   8000,    11,  true,  0},
    {"GD25Q40",    {0xC8, 0x40, 0x13, 0xC8, 0x40, 0x13}, {0xC8, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    700,    50,    140,    160,   3000,   2100,   250,    560,    480,   12000,   11,  true,  0},
    {"GD25Q512",   {0xC8, 0x40, 0x10, 0xC8, 0x40, 0x10}, {0xC8, 0x05}, {0x05, 0x05}, kNone,        64 * KiB,   4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    700,    50,    140,    160,   1000,   2100,   250,    560,    480,   4000,    11,  true,  0},
    {"GD25Q10",    {0xC8, 0x40, 0x11, 0xC8, 0x40, 0x11}, {0xC8, 0x10}, {0x10, 0x10}, kNone,        128 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    700,    50,    140,    160,   1500,   2100,   250,    560,    480,   6000,    11,  false, 0},
    {"VP25F020",   {0xA1, 0x31, 0x12, 0xA1, 0x31, 0x12}, {0xA1, 0x11}, {0x11, 0x11}, kNone,        256 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    800,    60,    150,    200,   2000,   2400,   300,    600,    600,   8000,    12,  false, 0},
    {"VP25F040",   {0xA1, 0x31, 0x13, 0xA1, 0x31, 0x13}, {0xA1, 0x12}, {0x12, 0x12}, kNone,        512 * KiB,  4 * KiB,  32 * KiB, 64 * KiB,  256, PS::Page,    800,    60,    150,    200,   4000,   2400,   300,    600,    600,   16000,   12,  false, 0},
};
// clang-format on

// Sector and block unit per FlashType, as the bridges apply them when they erase by mode.
constexpr EraseUnits kEraseUnitsByType[] = {
    {0x1000, 0x8000},  {0x1000, 0x8000},  {0x1000, 0x8000},  {0x8000, 0x10000}, {0x8000, 0x10000},
    {0x1000, 0x10000}, {0x1000, 0x10000}, {0x1000, 0x10000}, {0x8000, 0x10000}, {0x1000, 0x10000},
    {0x1000, 0x10000}, {0x1000, 0x10000}, {0x1000, 0x10000},
};

std::string hexOf(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

std::string lower(std::string_view s) {
    std::string out;
    for (char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

// The key a part is chosen by: its 0x9F reply, or its 0x90 reply for parts without one.
// Parts behind the 7F continuation code need the fourth byte to tell them apart.
std::string keyOf(const FlashPart& p) {
    if (p.rdid[0] == 0x7F) return hexOf(p.rdid.data(), 4);
    if (p.rdid[0] != 0xFF) return hexOf(p.rdid.data(), 3);
    if (p.rems[0] != 0xFF) return hexOf(p.rems.data(), 2);
    return lower(p.name);
}

}  // namespace

const FlashPart* flashParts(size_t* count) {
    if (count) *count = std::size(kFlashParts);
    return kFlashParts;
}

const FlashPart* findFlashPart(std::string_view idHexOrName) {
    const std::string want = lower(idHexOrName);
    for (const FlashPart& p : kFlashParts)
        if (keyOf(p) == want || lower(p.name) == want) return &p;
    // A shorter reply names the first part whose reply starts with it.
    if (want.size() >= 4 && want.size() % 2 == 0)
        for (const FlashPart& p : kFlashParts)
            if (p.rdid[0] != 0xFF && hexOf(p.rdid.data(), p.rdid.size()).starts_with(want)) return &p;
    return nullptr;
}

std::string flashPartKeys() {
    std::string s;
    for (const FlashPart& p : kFlashParts) {
        if (!s.empty()) s += ' ';
        s += keyOf(p);
        s += '(';
        s += p.name;
        s += ')';
    }
    return s;
}

EraseUnits eraseUnitsOfType(uint8_t flashType) {
    if (flashType >= std::size(kEraseUnitsByType)) return kEraseUnitsByType[0];
    return kEraseUnitsByType[flashType];
}

uint32_t eraseMsOf(const FlashPart& p, uint32_t unit, FlashTimes t) {
    const bool worst = t == FlashTimes::Worst;
    if (unit == 0) return 0;
    if (p.sectorErase && unit <= p.sectorErase) return worst ? p.sectorMaxMs : p.sectorMs;
    if (p.halfBlockErase && p.halfBlockMs && unit <= p.halfBlockErase) return worst ? p.halfBlockMaxMs : p.halfBlockMs;
    if (unit <= std::max({p.blockErase, p.halfBlockErase, p.sectorErase})) return worst ? p.blockMaxMs : p.blockMs;
    return chipEraseMsOf(p, t);
}

uint32_t programUsOf(const FlashPart& p, FlashTimes t) { return t == FlashTimes::Worst ? p.programMaxUs : p.programUs; }

uint32_t chipEraseMsOf(const FlashPart& p, FlashTimes t) { return t == FlashTimes::Worst ? p.chipMaxMs : p.chipMs; }

}  // namespace sim
