#!/usr/bin/env bash
# The Linux programs as a user gets them: installed with `cmake --install`
# into a temporary prefix, packed by CPack into the tarball and the Debian
# package, unpacked from the package with dpkg -x and, outside CI, installed
# with dpkg -i and removed again. Each time the installed programs run on a
# sample archive and their manual pages render without a warning; the
# package's contents, control fields and lintian's verdict are checked.
#
# Needs HVR_BUILD_DIR (default build/linux) configured, with the targets
# hvrupdate hvrconv hvrgen hvrdump hvrdiff and hvr_docs built. Prints one line per
# check and ends with "N passed, M failed". With CI set (any value), nothing
# is installed into the system.
set -u
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${HVR_BUILD_DIR:-$root/build/linux}
version=$(sed -n 's/^project(hvrtools VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
arch=$(dpkg --print-architecture)
machine=$(uname -m | tr '[:upper:]' '[:lower:]')

passed=0
failed=0
problems=()
# want DESCRIPTION-OF-FAILURE COMMAND...: notes the description when the
# command fails; verdict prints one line for everything noted since.
want() {
    local what=$1
    shift
    "$@" || problems+=("$what")
}
verdict() {
    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS: $1"
        passed=$((passed + 1))
    else
        local joined
        joined=$(printf '%s; ' "${problems[@]}")
        echo "FAIL: $1 -- ${joined%; }"
        failed=$((failed + 1))
    fi
    problems=()
}
skip() { echo "SKIP: $*"; }
# matches TEXT PATTERN: TEXT matches the glob PATTERN.
matches() { [[ $1 == $2 ]]; }
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

for tool in hvrupdate hvrconv hvrgen hvrdump hvrdiff man/hvrupdate.1.gz; do
    if [ ! -e "$bin/$tool" ]; then
        echo "FAIL: $bin/$tool is missing; build hvrupdate hvrconv hvrgen hvrdump hvrdiff hvr_docs first"
        failed=1
        finish
    fi
done

T=$(mktemp -d "${TMPDIR:-/tmp}/install_package.XXXXXX") || exit 1
installed_here=0
cleanup() {
    # A package this script installed never stays behind, whatever stopped it.
    [ "$installed_here" = 1 ] && dpkg --purge hvrtools >/dev/null 2>&1
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# What every installation holds, relative to its prefix; each layout adds
# its own licence files.
PROGRAMS="bin/hvrconv bin/hvrdiff bin/hvrdump bin/hvrgen bin/hvrupdate"
PAGES="share/man/man1/hvrconv.1.gz share/man/man1/hvrdiff.1.gz share/man/man1/hvrdump.1.gz share/man/man1/hvrgen.1.gz share/man/man1/hvrupdate.1.gz"
DOCUMENTS="share/doc/hvrtools/README.md share/doc/hvrtools/RELIABILITY.md"

# ---------------------------------------------------------------- helpers

# same_list WHAT EXPECTED ACTUAL: both are newline-separated lists.
same_list() {
    local expected actual
    expected=$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort)
    actual=$(sed '/^$/d' <<<"$3" | sort)
    [ "$expected" = "$actual" ] && return 0
    problems+=("$1: $(diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | tr '\n' ' ')")
    return 0
}

# Files (not directories) under a directory, relative to it.
files_under() { (cd "$1" && find . -type f -o -type l) | sed 's|^\./||'; }

# stripped FILE: no symbol table and no debugging sections.
stripped() { ! readelf -S -W "$1" | grep -Eq '\.symtab|\.debug_'; }

# max_compressed_no_name FILE: a gzip header as gzip -9n writes it: no
# stored name, no time stamp, the best-compression flag.
max_compressed_no_name() {
    local header
    header=$(od -An -tu1 -N10 "$1" | tr -s ' ' | sed 's/^ //')
    # magic 31 139, method 8, flags 0, time 0 0 0 0, extra flags 2 (best)
    [[ $header == "31 139 8 0 0 0 0 0 2 "* ]]
}

# run_sample BINDIR WHAT: the programs in BINDIR on a fresh sample: a patch of
# exactly 12 entries, applied from inside the directory, a conversion sent
# there with -C, hvrdump's listing, and zlib linked as a shared library.
run_sample() {
    local dir=$T/sample-$2 out
    mkdir -p "$dir/data" "$dir/elsewhere"
    want "hvrgen failed" bash -c "cd '$dir/data' && '$1/hvrgen' --format 0x0103 --entries 300 --size 2M \
        --patch update.hvp --replace-count 12 --duplicates 0 >/dev/null 2>&1"
    out=$(cd "$dir/data" && "$1/hvrupdate" </dev/null 2>&1)
    want "hvrupdate printed: $out" [ "$out" = $'[Done]\nReplaced 12 entries.\n\nDataFormat : 0x0103\nPatchFormat : 0x0200' ]
    out=$(cd "$dir/elsewhere" && "$1/hvrconv" -C ../data </dev/null 2>&1)
    want "hvrconv -C printed: $out" [ "$out" = $'[Done]\nConverted.\n\nDataFormat : 0x0103 -> 0x0200' ]
    out=$("$1/hvrdump" "$dir/data/data.hvr" 2>&1 | head -n 1)
    want "hvrdump's first line: $out" matches "$out" "format 0x0200 *"
    out=$("$1/hvrdump" --check "$dir/data/data.hvr" 2>&1)
    want "hvrdump --check printed: $out" matches "$out" "$dir/data/data.hvr: sound: format 0x0200, 300 entries*"
    want "hvrgen --version failed" bash -c "cd '$dir/data' && '$1/hvrgen' --archive - --format 0x0103 --entries 300 \
        --size 2M --version new.hvr --changed 100 >/dev/null 2>&1"
    out=$("$1/hvrdiff" "$dir/data/data.hvr" "$dir/data/new.hvr" -o "$dir/made.hvp" 2>&1)
    want "hvrdiff printed: $out" matches "$out" "$dir/made.hvp: * entries, format 0x0200; *"
    want "hvrupdate does not load libz.so" bash -c "readelf -d '$1/hvrupdate' | grep -q 'NEEDED.*libz\.so'"
    verdict "$2: the programs run on a sample archive"
}

# Japanese, which the locale's files must provide: generated once.
japanese_locale() {
    [ -d "$T/locales/ja_JP.utf8" ] && return 0
    mkdir -p "$T/locales"
    localedef --no-warnings=ascii -i ja_JP -f UTF-8 "$T/locales/ja_JP.utf8" >/dev/null 2>&1
}
speaks_japanese() {
    local dir=$T/japanese-$2 out
    mkdir -p "$dir"
    want "localedef ja_JP.UTF-8 failed (package locales)" japanese_locale
    out=$(cd "$dir" && LOCPATH=$T/locales LC_ALL=ja_JP.UTF-8 "$1/hvrconv" </dev/null 2>&1)
    want "hvrconv printed: $out" [ "$out" = $'[エラー]\n指定されたファイルが見つかりません。' ]
    verdict "$2: hvrconv speaks Japanese in ja_JP.UTF-8"
}

# check_pages MANDIR WHAT: each page renders under groff and man with no
# warning, in ASCII and in UTF-8, holds every section, shows its Japanese
# texts only where the terminal can, and is found by name.
check_pages() {
    local page name err text
    for name in hvrupdate hvrconv hvrgen hvrdump hvrdiff; do
        page=$1/man1/$name.1.gz
        if [ ! -f "$page" ]; then
            problems+=("$name.1.gz is missing")
            continue
        fi
        want "$name.1.gz is not compressed with gzip -9n" max_compressed_no_name "$page"
        err=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
        want "groff warns about $name.1: $err" [ -z "$err" ]
        for locale in C C.UTF-8; do
            text=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>"$T/man.err")
            err=$(cat "$T/man.err")
            want "man -l warns about $name.1 in $locale: $err" [ -z "$err" ]
            for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' ENVIRONMENT FILES EXAMPLES; do
                want "$name.1 lacks $section" grep -q "^$section\$" <<<"$text"
            done
            if [ "$locale" = C ]; then
                want "$name.1 in ASCII has other bytes" bash -c '! LC_ALL=C grep -q "[^[:print:]]" <<<"$1"' _ "$text"
            else
                want "$name.1 in UTF-8 lacks its Japanese" grep -q "$(japanese_of "$name")" <<<"$text"
            fi
        done
        want "man does not find $name(1) under $1" bash -c "[ \"\$(MANPATH='$1' man -w $name 2>/dev/null)\" = '$page' ]"
    done
    verdict "$2: the manual pages render without a warning"
}
japanese_of() {
    case $1 in
        hvrupdate) echo 置換対象がみつかりませんでした ;;
        hvrconv) echo 変換しました ;;
        hvrgen) echo ディスクに十分な空き領域がありません ;;
        hvrdump | hvrdiff) echo 指定されたファイルが見つかりません ;;
    esac
}

# ---------------------------------------------------------------- cmake --install

prefix=$T/prefix
echo "--- cmake --install into a temporary prefix"
want "cmake --install failed" bash -c "cmake --install '$bin' --prefix '$prefix' >'$T/install.log' 2>&1"
same_list "installed files" "$PROGRAMS $PAGES $DOCUMENTS share/doc/hvrtools/LICENSE" "$(files_under "$prefix")"
for program in $PROGRAMS; do
    want "$program is not executable" [ -x "$prefix/$program" ]
done
want "README.md differs from the source" cmp -s "$root/README.md" "$prefix/share/doc/hvrtools/README.md"
want "LICENSE differs from the source" cmp -s "$root/LICENSE" "$prefix/share/doc/hvrtools/LICENSE"
verdict "install: the programs, their manual pages and the documents, nothing else"
run_sample "$prefix/bin" install
check_pages "$prefix/share/man" install

# ---------------------------------------------------------------- CPack

echo "--- CPack: tarball and Debian package"
tarball=$T/cpack/hvrtools-$version-linux-$machine.tar.gz
deb=$T/cpack/hvrtools_${version}_$arch.deb
want "cpack failed: see $T/cpack.log" bash -c "cd '$bin' && cpack -B '$T/cpack' >'$T/cpack.log' 2>&1"
want "no $(basename "$tarball")" [ -f "$tarball" ]
want "no $(basename "$deb")" [ -f "$deb" ]
verdict "cpack writes $(basename "$tarball") and $(basename "$deb")"

if [ -f "$tarball" ]; then
    top=hvrtools-$version-linux-$machine
    mkdir -p "$T/tar"
    want "the tarball does not unpack" tar -xzf "$tarball" -C "$T/tar"
    same_list "tarball files" "$(printf "$top/%s " $PROGRAMS $PAGES $DOCUMENTS share/doc/hvrtools/LICENSE)" \
        "$(files_under "$T/tar")"
    for program in $PROGRAMS; do
        want "$program is not stripped" stripped "$T/tar/$top/$program"
    done
    verdict "tarball: one top directory holding the install's files, the programs stripped"
fi

if [ -f "$deb" ]; then
    # dpkg-deb -c lists "./usr/bin/hvrupdate" and the like; directories end in /.
    listing=$(dpkg-deb -c "$deb")
    echo "$listing" | sed 's/^/    /'
    same_list "package files" \
        "$(printf "usr/%s " $PROGRAMS $PAGES $DOCUMENTS share/doc/hvrtools/copyright share/doc/hvrtools/changelog.gz)" \
        "$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing")"
    want "a file not owned by root" bash -c "! awk '\$2 != \"root/root\"' <<<\"\$1\" | grep -q ." _ "$listing"
    for program in $PROGRAMS; do
        want "usr/$program is not -rwxr-xr-x" grep -q "^-rwxr-xr-x .* \./usr/$program\$" <<<"$listing"
    done
    verdict "package: dpkg-deb -c lists the programs, pages, documents, copyright and changelog"

    field() { dpkg-deb -f "$deb" "$1"; }
    want "Package is $(field Package)" [ "$(field Package)" = hvrtools ]
    want "Version is $(field Version), not $version" [ "$(field Version)" = "$version" ]
    want "Architecture is $(field Architecture)" [ "$(field Architecture)" = "$arch" ]
    want "Section is $(field Section)" [ "$(field Section)" = utils ]
    want "Priority is $(field Priority)" [ "$(field Priority)" = optional ]
    want "no maintainer" matches "$(field Maintainer)" "*<*@*>"
    want "no extended description" [ "$(field Description | wc -l)" -gt 2 ]
    depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
    for library in libc6 libstdc++6 zlib1g; do
        want "Depends lacks $library: $(field Depends)" grep -qxF "$library" <<<"$depends"
    done
    verdict "package: control fields, and dependencies from dpkg-shlibdeps"

    unpacked=$T/unpacked
    want "dpkg -x failed" dpkg -x "$deb" "$unpacked"
    for program in $PROGRAMS; do
        want "usr/$program is not stripped" stripped "$unpacked/usr/$program"
    done
    want "the copyright file is not the source's" cmp -s "$root/packaging/debian/copyright" \
        "$unpacked/usr/share/doc/hvrtools/copyright"
    want "changelog.gz is not compressed with gzip -9n" max_compressed_no_name \
        "$unpacked/usr/share/doc/hvrtools/changelog.gz"
    want "changelog.gz's first entry is not version $version" bash -c \
        "gzip -dc '$unpacked/usr/share/doc/hvrtools/changelog.gz' | head -n 1 | grep -qF 'hvrtools ($version)'"
    verdict "package: unpacked with dpkg -x, the programs stripped, copyright and changelog in place"
    run_sample "$unpacked/usr/bin" unpacked
    speaks_japanese "$unpacked/usr/bin" unpacked
    check_pages "$unpacked/usr/share/man" unpacked

    # lintian reads packages as a user; as root it only warns that it runs so.
    lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1)
    status=$?
    grep -v 'running with root privileges' <<<"$lintian_out" | sed '/^$/d; s/^/    /'
    want "lintian found errors or warnings" [ "$status" -eq 0 ]
    verdict "lintian: no error and no warning"

    if [ -n "${CI+set}" ]; then
        skip "dpkg -i: CI is set, the system is left alone"
    elif [ "$(id -u)" -ne 0 ]; then
        skip "dpkg -i: needs root"
    elif dpkg-query -W -f='${Status}' hvrtools 2>/dev/null | grep -q 'install ok installed'; then
        skip "dpkg -i: hvrtools is installed already, and stays as it is"
    else
        want "dpkg -i failed" bash -c "dpkg -i '$deb' >'$T/dpkg.log' 2>&1 || { sed 's/^/    /' '$T/dpkg.log'; false; }"
        installed_here=1
        want "/usr/bin/hvrupdate is not the package's" cmp -s "$unpacked/usr/bin/hvrupdate" /usr/bin/hvrupdate
        want "man -w does not find /usr/share/man/man1/hvrupdate.1.gz" \
            bash -c '[ "$(man -w hvrupdate 2>/dev/null)" = /usr/share/man/man1/hvrupdate.1.gz ]'
        verdict "dpkg -i installs hvrtools"
        run_sample /usr/bin dpkg
        want "dpkg -r failed" bash -c "dpkg -r hvrtools >>'$T/dpkg.log' 2>&1"
        want "dpkg still has hvrtools" bash -c "! dpkg-query -W -f='\${Status}' hvrtools 2>/dev/null | grep -q 'install ok installed'"
        for program in $PROGRAMS $PAGES; do
            want "/usr/$program is left" [ ! -e "/usr/$program" ]
        done
        dpkg --purge hvrtools >/dev/null 2>&1
        installed_here=0
        verdict "dpkg -r removes every file again"
    fi
fi

finish
