user_pref("mail.server.server1.hostname", "unterminated);
user_pref("x", 2147483648);
