# Sources of the Debian archive this machine already uses, read from its apt configuration so that
# no archive is named anywhere: a line or stanza for another suite of the same archive, and the
# archive's URI and signing keyring. Sourced by .ci/install-windows-tools and
# tests/jvms/make_jvm_root.sh.

# The source for suite $2 (main component) from the first deb822 stanza (.sources) that serves
# release $1's main component, with its URIs and signing key...
deb822_source() {
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v release="$1" -v suite="$2" '
    BEGIN { RS = ""; FS = "\n" }
    {
      delete field
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^#/) continue
        # A line that starts with a space continues the field before it.
        if ($i ~ /^[ \t]/) { field[name] = field[name] "\n" $i; continue }
        colon = index($i, ":")
        name = tolower(substr($i, 1, colon - 1))
        field[name] = substr($i, colon + 1)
        sub(/^[ \t]+/, "", field[name])
      }
      # Lists may run over several lines; the signing key keeps its own.
      for (name in field) if (name != "signed-by") gsub(/[ \t\n]+/, " ", field[name])
      if (tolower(field["enabled"]) != "no" && (" " field["types"] " ") ~ / deb / &&
          (" " field["suites"] " ") ~ (" " release " ") &&
          (" " field["components"] " ") ~ / main /) {
        print "Types: deb"
        print "URIs: " field["uris"]
        print "Suites: " suite
        print "Components: main"
        if ("signed-by" in field) print "Signed-By: " field["signed-by"]
        exit
      }
    }'
}

# ...or else from the first one-line source (sources.list) for release $1, with its options.
one_line_source() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v release="$1" \
    -v suite="$2" '
    $1 == "deb" {
      at = 2
      options = ""
      if ($at ~ /^\[/) {
        while ($at !~ /\]$/ && at < NF) options = options $(at++) " "
        options = options $(at++) " "
      }
      if ($(at + 1) == release) {
        print "deb " options $at " " suite " main"
        exit
      }
    }'
}

# The source for suite $2 from the archive that serves release $1 here, in the format that found
# it; nothing when no source serves release $1.
debian_source() {
  source=$(deb822_source "$1" "$2")
  [ -n "$source" ] || source=$(one_line_source "$1" "$2")
  [ -z "$source" ] || printf '%s\n' "$source"
}

# Writes the source for suite $2 from the archive that serves release $1 to $3.sources or
# $3.list, as its format needs; fails when no source serves release $1.
write_debian_source() {
  source=$(debian_source "$1" "$2")
  case $source in
    Types:*) printf '%s\n' "$source" >"$3.sources" ;;
    deb\ *) printf '%s\n' "$source" >"$3.list" ;;
    *)
      echo "no apt source serves $1: cannot add $2 from its archive" >&2
      return 1
      ;;
  esac
}

# The archive's first URI and, when the source names one, its signing keyring file, from a source
# that debian_source printed (on standard input): "URI [KEYRING]". A key given inline or by
# fingerprint yields no keyring.
source_archive() {
  awk '
    /^Types:/ { deb822 = 1 }
    deb822 && /^URIs:/ { uri = $2 }
    deb822 && /^Signed-By:/ && NF == 2 && $2 ~ /^\// { keyring = $2 }
    !deb822 && $1 == "deb" {
      at = 2
      if ($at ~ /^\[/) {
        for (; at <= NF; at++) {
          option = $at
          gsub(/[][]/, "", option)
          if (option ~ /^signed-by=\// && option !~ /,/) keyring = substr(option, 11)
          if ($at ~ /\]$/) break
        }
        at++
      }
      uri = $at
    }
    END { if (uri != "") print uri (keyring == "" ? "" : " " keyring) }'
}
