// What one image, and one chain of images, may make the driver hold in pool.
// A crafted header can ask for tables and blocks of any size; an image
// beyond these limits is refused at open with STATUS_NOT_SUPPORTED, before
// its table is read.
//
// - Blocks of at most 32 MiB: a request takes up to one block (with its
//   bitmap) in one buffer. Images in use have 512 KiB or 2 MiB blocks.
// - A table of at most 4 Mi entries (16 MiB): every disk up to the format's
//   2040 GiB with blocks of 512 KiB or more.
// - A chain holds at most 128 MiB: the sum over its images of the table
//   (with a dynamic disk's room to grow) and of the block and bitmap buffers
//   a request may take at that level (a read of a differencing image holds
//   one of each per level it passes).
//   Twenty images of 2040 GiB with 2 MiB blocks fit.
#pragma once

#define IMAGE_BLOCK_SIZE_LIMIT (32u << 20)
#define IMAGE_BAT_ENTRY_LIMIT (4u << 20)
#define IMAGE_CHAIN_POOL_LIMIT (128ull << 20)
