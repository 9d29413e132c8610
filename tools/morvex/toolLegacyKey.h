// The key under which morvex reads legacy "@" texts. Texts stored by older tools were made
// under it, so it never changes. It is assembled on the stack at each use so that it never
// stands in the binary as one string.
#ifndef MORVEX_TOOLLEGACYKEY_H
#define MORVEX_TOOLLEGACYKEY_H

inline constexpr unsigned toolLegacyKeySize = 10;  // six characters, zero-filled behind them

inline void buildToolLegacyKey(char (&key)[toolLegacyKeySize]) {
    for (char& c : key)
        c = '\0';
    key[0] = 'W';
    key[1] = '4';
    key[2] = 'k';
    key[3] = 'r';
    key[4] = 'J';
    key[5] = '8';
}

#endif  // MORVEX_TOOLLEGACYKEY_H
