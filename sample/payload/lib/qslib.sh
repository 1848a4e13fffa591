# Shared functions of the quill status programs; sourced, never run.

QS_CONF=${QS_CONF:-/var/quillset/db/qrx.conf}

# qs_conf KEY: the value of KEY in the server configuration file.
qs_conf() {
    sed -n "s/^$1[ 	]*=[ 	]*//p" "$QS_CONF" 2>/dev/null | head -n 1
}

# qs_msg NUMBER DEFAULT: a catalogued message, or DEFAULT when the
# catalogue has none.
qs_msg() {
    cat_file=${QS_MSGDIR:-/usr/local/quillset/msg}/qsstat.msg
    text=$(sed -n "s/^$1 //p" "$cat_file" 2>/dev/null | head -n 1)
    printf '%s\n' "${text:-$2}"
}
