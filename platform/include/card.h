/*
 * Platform card service.
 */
#ifndef PLATFORM_CARD_H
#define PLATFORM_CARD_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the line card's slot number into the 4-byte buffer at slot. 0 on
 * success. */
int card_get_slot_num(void *slot);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_CARD_H */
