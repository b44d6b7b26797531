#!/bin/bash
# Checks of the real Cassel.dll under Wine, through a small program (CasselProbe.exe).
#   cassel-under-wine.sh <case> <CasselProbe.exe> <Cassel.dll> <build folder>
# Wine has no reader, so what it checks is what a resource viewer and Device Manager see of the
# module without one: its Japanese texts, its page's dialog template, and refused page requests.
set -u
case_name=$1
probe=$2
module=$3
build=$4
here=$(cd "$(dirname "$0")" && pwd)
prefix=$build/wine-prefix

work=$(mktemp -d "${TMPDIR:-/tmp}/cassel-wine-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$probe" "$module" .

probe() {
    "$here/wine-run.sh" "$prefix" ./CasselProbe.exe "$@"
}

case $case_name in
strings)
    expected='0 この操作のために必要なメモリが不足しています\r\rメモリを確保するために、1つ以上のウィンドウを閉じてください
1 このCOM名は別のデバイス(別のCOMポートまたはモデムなど)により使用されています。重複した名前を使用すると、デバイスおよび変更された設定にアクセスできなくなります。続行しますか？
2 接続ポート
3 ポートは別のアプリケーションによって開かれています。ポート名を変更すると、開いているアプリケーションに予期しない影響を与える可能性があります。続行しますか？
4 接続ポートのプロパティ
5 COMポートリネーム中にエラー発生
6 %s (%s)
7  (使用中)'
    ;;
dialog)
    # WS_CHILD | WS_DISABLED | WS_CAPTION | DS_SETFONT; the label WS_CHILD | WS_VISIBLE | WS_GROUP |
    # SS_LEFT; the list WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST.
    expected='dialog style 48C00040 size 195,127 caption "ポートの設定" font 9 "MS UI Gothic" items 2
control -1 class #130 text "COMポート番号:" at 36,54 size 46,8 style 50020000
control 1001 class #133 text "" at 110,52 size 80,76 style 50210003'
    ;;
refusals)
    expected='basic 0
no-device 0
no-set 0
pages 0
create 1
command 1 help 1 notify 0'
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

output=$(probe "$case_name")
status=$?
if [ "$status" -ne 0 ] || [ "$output" != "$expected" ]; then
    echo "FAIL: CasselProbe $case_name (exit $status)"
    diff <(echo "$expected") <(echo "$output")
    exit 1
fi
echo "ok: $case_name"
