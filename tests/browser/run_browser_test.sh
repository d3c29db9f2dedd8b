#!/usr/bin/env bash
# Opens HTML pages written by tabflip in headless Chromium and checks that
# every cell's text, as the browser decoded it, is the intended text. A wrong
# charset name in the meta line, or an entity written inside a two-byte or
# katakana character of ISO-2022-JP text, garbles at least one cell.
#
# Usage: run_browser_test.sh TABFLIP_BINARY DATA_DIR
#
# DATA_DIR holds table.utf-8.txt, one Japanese table, and the same table
# converted from it with
#   iconv -f UTF-8 -t ISO-2022-JP-3 (ESC $ B and ESC ( I only), -t SHIFT_JIS,
#   -t EUC-JP
# as table.iso-2022-jp.txt, table.shift_jis.txt and table.euc-jp.txt, and
# with -t UTF-16LE and -t UTF-16BE after the byte-order mark as
# table.utf-16le.txt and table.utf-16be.txt; and table.utf-8-latin.txt, a
# UTF-8 table whose first non-ASCII character is two bytes long (German,
# Ukrainian and Greek letters); and two small tables whose first kanji looks
# like a three-byte UTF-8 character, made with iconv -f UTF-8: -t SHIFT_JIS,
# starting with 瑤子 (table.shift_jis-kanji.txt), and -t EUC-JP, starting
# with 筺 (table.euc-jp-kanji.txt).
# Without Chromium the test fails: a skipped browser check would pass unseen.
set -u
binary=$(realpath "$1")
data_dir=$(realpath "$2")

if ! command -v chromium >/dev/null; then
    echo "chromium is not installed (Debian package chromium)"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The page's cells in order: the table transposed. A space in a cell arrives
# as U+00A0 from "&nbsp;"; an empty or absent cell holds one plain space.
nbsp=$'\xc2\xa0'
expected=(
    "名前" "あさ" "ア名" "うみ"
    "数" "12" "$nbsp$nbsp" " "
    "メモ" "う${nbsp}&${nbsp}え" "<ぜ>\"q\"'" "x"
    "｢ｶﾅ｣" "｢ｼｦｾ｣" " " " "
)
printf '%s\n' "${expected[@]}" >"$work/want"
latin=(
    "Stadt" "München" "Київ" "Αθήνα"
    "Einwohner" "1512491" "2952301" "664046"
    "Größe" "310,7${nbsp}km²" " " " "
)
printf '%s\n' "${latin[@]}" >"$work/want-latin"
printf '%s\n' "瑤子" "煌びやか" "さくら" "カナ１２" >"$work/want-shift_jis-kanji"
printf '%s\n' "筺の中" "箋" "みかん" "１２" >"$work/want-euc-jp-kanji"

# The dumped DOM is serialised HTML: in text, '&', U+00A0, '<' and '>' come
# back as entities, and nothing else does, so undoing those four recovers the
# text that the browser decoded. A cell whose '<' reached the parser raw
# turns into markup and drops out of the list.
decoded_cells() {
    LC_ALL=C grep -o '<td>[^<]*</td>' "$1" |
        LC_ALL=C sed -e 's|^<td>||' -e 's|</td>$||' -e 's/&lt;/</g' -e 's/&gt;/>/g' \
            -e "s/&nbsp;/$nbsp/g" -e 's/&amp;/\&/g'
}

failed=0
# check_page SET WANT: the page of DATA_DIR/table.SET.txt holds WANT's cells.
check_page() {
    local set=$1 want=$2
    local dir=$work/$set
    mkdir "$dir"
    cp "$data_dir/table.$set.txt" "$dir/table.txt"
    if ! (cd "$dir" && "$binary" -h table.txt); then
        echo "--- $set: tabflip failed"
        failed=1
        return
    fi
    HOME=$dir timeout 120 chromium --headless --no-sandbox --disable-gpu \
        --disable-background-networking --disable-component-update --disable-sync \
        --no-first-run --disable-quic --user-data-dir="$dir/profile" \
        --dump-dom "file://$dir/table.txt_replace.htm" >"$dir/dom.html" 2>"$dir/chromium.log"
    decoded_cells "$dir/dom.html" >"$dir/got"
    if ! cmp -s "$want" "$dir/got"; then
        echo "--- $set: cells as the browser decoded them (< want, > got)"
        grep -a 'charset=' "$dir/table.txt_replace.htm"
        diff "$want" "$dir/got"
        [ -s "$dir/dom.html" ] || tail -n 5 "$dir/chromium.log"
        failed=1
    fi
}

for set in iso-2022-jp shift_jis euc-jp utf-8 utf-16le utf-16be; do
    check_page "$set" "$work/want"
done
check_page utf-8-latin "$work/want-latin"
for set in shift_jis-kanji euc-jp-kanji; do
    check_page "$set" "$work/want-$set"
done
[ $failed = 0 ] && echo "every page reads back as intended"
exit $failed
