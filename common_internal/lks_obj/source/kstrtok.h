// kstrtok: re-entrant string tokenizer with 32 numbered slots.
//
// A caller claims a slot with kstrtokbegin, tokenizes with kstrtok (like
// strtok, but the saved position is kept per slot) and frees the slot with
// kstrtokend. The slot table is shared by the process and guarded by a
// mutex for claiming and freeing; each claimed slot is used by one thread at
// a time.
#ifndef COMMON_INTERNAL_KSTRTOK_H
#define COMMON_INTERNAL_KSTRTOK_H

#define KSTRTOK_SLOT_COUNT 32

// Claims a free slot and returns its number (0..31), or -1 when all slots are
// in use.
int kstrtokbegin(void);

// With `text` starts tokenizing there, else continues from the slot's saved
// position. Skips leading delimiters, overwrites the delimiter that ends the
// token with NUL, saves the position behind it and returns the token; null
// when no token remains, and also for an invalid or unclaimed slot or null
// delimiters. Bytes compare as unsigned values.
char *kstrtok(int slot, char *text, const char *delimiters);

// Frees a claimed slot. Returns 0, or -1 for a slot number out of range or a
// slot that is not claimed (nothing changes).
int kstrtokend(int slot);

#endif  // COMMON_INTERNAL_KSTRTOK_H
