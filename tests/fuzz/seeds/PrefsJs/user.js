/* user settings */
# hash
user_pref('a.b', 'it\'s \x41\ud83d\udcec');user_pref("c", -12);
pref("d", false, locked, sticky);
sticky_pref("e", "x\ty\\z");
