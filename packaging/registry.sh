# The registry file as the programs read it: the registry editor's export
# format, UTF-16LE with a byte order mark (as Windows exports it) or UTF-8
# with or without one, CR LF or LF line ends. An edit keeps the encoding, the
# line ends and every line it does not touch, and replaces the file by a
# rename, so that a program reading it sees the old file or the new one.
# Key and value names compare without regard to letter case.

registry_encoding() {
    case "$(od -An -tx1 -N3 "$1" | tr -d ' \n')" in
    fffe*) echo utf16 ;;
    efbbbf) echo utf8bom ;;
    *) echo utf8 ;;
    esac
}

registry_decode() { # file encoding
    case "$2" in
    utf16) tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8 ;;
    utf8bom) tail -c +4 "$1" ;;
    *) cat "$1" ;;
    esac
}

# The awk functions every edit shares. A header names a key of
# HKEY_LOCAL_MACHINE (upper case, no outer backslashes) or "\\" for
# anything else; a value line's name is "@" for the default value and "\\"
# for a line that is no value.
REGISTRY_AWK_COMMON='
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function is_header(t) {
    return length(t) >= 2 && substr(t, 1, 1) == "[" && substr(t, length(t), 1) == "]" &&
           substr(t, 2, 1) != "-"
}
function header_key(t,   inner, slash, hive, key) {
    inner = substr(t, 2, length(t) - 2)
    slash = index(inner, "\\")
    hive = slash ? substr(inner, 1, slash - 1) : inner
    if (toupper(hive) != "HKEY_LOCAL_MACHINE")
        return "\\"
    key = slash ? substr(inner, slash + 1) : ""
    sub(/^\\+/, "", key)
    sub(/\\+$/, "", key)
    return toupper(key)
}
function value_name(t,   i, c, name) {
    if (substr(t, 1, 1) == "@")
        return "@"
    name = ""
    for (i = 2; i <= length(t); i++) {
        c = substr(t, i, 1)
        if (c == "\\" && (substr(t, i + 1, 1) == "\\" || substr(t, i + 1, 1) == "\"")) {
            name = name substr(t, ++i, 1)
        } else if (c == "\"") {
            return trim(substr(t, i + 1)) ~ /^=/ ? name : "\\"
        } else {
            name = name c
        }
    }
    return "\\"
}
function quote(s,   i, c, r) {
    r = "\""
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "\\" || c == "\"")
            r = r "\\"
        r = r c
    }
    return r "\""
}
NR == 1 { eol = /\r$/ ? "\r\n" : "\n" }
{ sub(/\r$/, ""); line[NR] = $0 }
'

# Runs the awk program $2 (after the common functions) over the decoded text
# of the registry file $1 and puts its output in place of the file. A missing
# file reads as an empty registry and is created as the programs create it.
registry_edit() {
    reg_file=$1
    reg_dir=$(dirname "$reg_file")
    [ -d "$reg_dir" ] || install -d -m 0755 "$reg_dir"
    reg_new=$(mktemp "$reg_file.XXXXXX")
    reg_encoding=utf8
    if [ -f "$reg_file" ]; then
        reg_encoding=$(registry_encoding "$reg_file")
        registry_decode "$reg_file" "$reg_encoding" >"$reg_new.text"
    else
        printf 'Windows Registry Editor Version 5.00\r\n\r\n' >"$reg_new.text"
    fi
    if ! awk "$REGISTRY_AWK_COMMON$2" "$reg_new.text" >"$reg_new.edited"; then
        rm -f "$reg_new" "$reg_new.text" "$reg_new.edited"
        return 1
    fi
    case "$reg_encoding" in
    utf16) { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE "$reg_new.edited"; } >"$reg_new" ;;
    utf8bom) { printf '\357\273\277'; cat "$reg_new.edited"; } >"$reg_new" ;;
    *) cat "$reg_new.edited" >"$reg_new" ;;
    esac
    rm -f "$reg_new.text" "$reg_new.edited"
    if [ -f "$reg_file" ]; then
        chmod "$(stat -c %a "$reg_file")" "$reg_new"
        chown "$(stat -c %u:%g "$reg_file")" "$reg_new"
    else
        chmod 0644 "$reg_new"
    fi
    mv -f "$reg_new" "$reg_file"
}

# registry_set_string FILE KEY NAME VALUE: writes the string value, in place
# of the one there (the last, which is the one that counts), else after the
# last value of the key's last section, else in a new section at the end.
registry_set_string() {
    export REG_KEY="$2" REG_NAME="$3" REG_VALUE="$4"
    registry_edit "$1" '
END {
    n = NR
    key = toupper(ENVIRON["REG_KEY"])
    name = ENVIRON["REG_NAME"] == "" ? "@" : toupper(ENVIRON["REG_NAME"])
    text = (name == "@" ? "@" : quote(ENVIRON["REG_NAME"])) "=" quote(ENVIRON["REG_VALUE"])
    inkey = 0; header = 0; first = 0
    for (i = 1; i <= n; i++) {
        t = trim(line[i])
        if (is_header(t)) {
            inkey = header_key(t) == key
            if (inkey)
                header = i
            continue
        }
        if (t !~ /^["@]/)
            continue
        start = i
        # Hex data wraps onto lines that end in a backslash.
        logical = t
        while (logical ~ /\\$/ && index(logical, "=\"") == 0 && i < n)
            logical = substr(logical, 1, length(logical) - 1) trim(line[++i])
        if (inkey && toupper(value_name(logical)) == name) {
            first = start; last = i
            # The name keeps the spelling it has in the file.
            if (name != "@")
                text = quote(value_name(logical)) "=" quote(ENVIRON["REG_VALUE"])
        }
    }
    m = 0
    if (first) {
        for (i = 1; i <= n; i++)
            if (i == first) out[++m] = text
            else if (i < first || i > last) out[++m] = line[i]
    } else if (header) {
        at = header
        for (i = header + 1; i <= n && !is_header(trim(line[i])); i++)
            if (trim(line[i]) != "")
                at = i
        for (i = 1; i <= n; i++) {
            out[++m] = line[i]
            if (i == at) out[++m] = text
        }
    } else {
        for (i = 1; i <= n; i++) out[++m] = line[i]
        if (m > 0 && trim(out[m]) != "") out[++m] = ""
        out[++m] = "[HKEY_LOCAL_MACHINE\\" ENVIRON["REG_KEY"] "]"
        out[++m] = text
        out[++m] = ""
    }
    if (eol == "") eol = "\r\n"
    for (i = 1; i <= m; i++) printf "%s%s", out[i], eol
}'
}

# registry_get_string FILE KEY NAME: prints the string value; fails when the
# file, the key or the value is missing.
registry_get_string() {
    [ -f "$1" ] || return 1
    export REG_KEY="$2" REG_NAME="$3"
    registry_decode "$1" "$(registry_encoding "$1")" | awk "$REGISTRY_AWK_COMMON"'
END {
    key = toupper(ENVIRON["REG_KEY"]); name = toupper(ENVIRON["REG_NAME"])
    found = 0; inkey = 0
    for (i = 1; i <= NR; i++) {
        t = trim(line[i])
        if (is_header(t)) inkey = header_key(t) == key
        else if (inkey && t ~ /^"/ && toupper(value_name(t)) == name) {
            v = trim(substr(t, index(t, "=") + 1))
            found = v ~ /^".*"$/
            value = ""
            for (k = 2; k < length(v); k++) {
                c = substr(v, k, 1)
                if (c == "\\" && substr(v, k + 1, 1) ~ /["\\]/ && k + 1 < length(v))
                    c = substr(v, ++k, 1)
                value = value c
            }
        }
    }
    if (!found) exit 1
    print value
}'
}

# registry_delete_key FILE KEY: removes the key with its values and sub-keys.
registry_delete_key() {
    [ -f "$1" ] || return 0
    export REG_KEY="$2"
    registry_edit "$1" '
END {
    key = toupper(ENVIRON["REG_KEY"])
    dropping = 0
    if (eol == "") eol = "\r\n"
    for (i = 1; i <= NR; i++) {
        t = trim(line[i])
        if (is_header(t)) {
            k = header_key(t)
            dropping = k == key || index(k, key "\\") == 1
        }
        if (!dropping) printf "%s%s", line[i], eol
    }
}'
}

# Succeeds when the registry file holds nothing but the format's signature
# and blank lines: a missing file reads the same.
registry_is_empty() {
    [ -f "$1" ] || return 0
    ! registry_decode "$1" "$(registry_encoding "$1")" | tr -d '\r' |
        grep -v -x 'Windows Registry Editor Version 5.00' | grep -q '[^[:space:]]'
}
