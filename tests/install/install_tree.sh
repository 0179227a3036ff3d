#!/usr/bin/env bash
# An installed tree and a portable one, used as their users would:
#   install_tree.sh BUILD_DIR
# installs the desktop component with DESTDIR into a temporary root (prefix
# /usr), runs the installed ottodo and otTodolist (offscreen) for two users
# with their own HOME (run as root, the test makes them two non-root users
# with setpriv, so the installed tree is root's and read-only to them; else
# they are the one user running the test with two HOMEs), and checks that
# each keeps their own tasks and token,
# that the installed tree is left exactly as installed and that the install
# manifest names every file; then installs the portable component and checks
# that it keeps its data in itself.
set -euo pipefail

build=$(cd "$1" && pwd)
switch_users=0
if [ "$(id -u)" = 0 ] && [ -x /usr/bin/setpriv ]; then
    switch_users=1
    # The users must reach it; $TMPDIR may be private to root.
    work=$(mktemp -d /tmp/install-tree-XXXXXX)
    chmod 755 "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/install-tree-XXXXXX")
fi
trap 'rm -rf "$work"' EXIT
declare -A uid=([alice]=40001 [bob]=40002 [carol]=40003)
export QT_QPA_PLATFORM=offscreen
unset XDG_DATA_HOME

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
expect_contains() { # text pattern what
    grep -qF -- "$2" <<<"$1" || fail "$3: expected \"$2\" in: $1"
}
expect_lacks() {
    ! grep -qF -- "$2" <<<"$1" || fail "$3: did not expect \"$2\" in: $1"
}

# ---- installed --------------------------------------------------------------
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr --component desktop >"$work/install.log"
manifest=$build/install_manifest_desktop.txt
diff <(sed "s|^|$root|" "$manifest" | sort) <(find "$root" \( -type f -o -type l \) | sort) ||
    fail "the manifest does not name exactly the installed files"
for f in usr/bin/otTodolist usr/bin/otUpgrade usr/bin/ottodo usr/libexec/otTodolist/ottodo-cloud \
    usr/share/otTodolist/otTodolist.db usr/share/otTodolist/styles/Dark.0.Style \
    usr/share/applications/org.brenmoor.ottodolist.desktop \
    usr/share/metainfo/org.brenmoor.ottodolist.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/otTodolist.svg usr/share/man/man1/ottodo.1.gz \
    usr/share/bash-completion/completions/ottodo; do
    [ -e "$root/$f" ] || fail "not installed: $f"
done
[ ! -e "$root/usr/bin/userdata" ] || fail "user data installed beside the programs"
snapshot() { (cd "$root" && find . -printf '%p %y %m %s %T@\n' | sort && find . -type f -exec sha256sum {} + | sort); }
snapshot >"$work/before"

bin=$root/usr/bin
as() { # user command...
    local user=$1
    shift
    if ((switch_users)); then
        HOME=$work/$user XDG_RUNTIME_DIR= /usr/bin/setpriv --reuid="${uid[$user]}" \
            --regid="${uid[$user]}" --clear-groups "$@"
    else
        HOME=$work/$user "$@"
    fi
}
home() { # user: the user's own, empty home directory
    mkdir -p "$work/$1"
    ((switch_users)) && chown "${uid[$1]}:${uid[$1]}" "$work/$1"
    return 0
}
for user in alice bob; do
    home $user
    out=$(as $user "$bin/ottodo" --version)
    expect_contains "$out" "data: installed, $work/$user/.local/share/otTodolist/" "$user's ottodo --version"
    out=$(as $user "$bin/otTodolist" --version)
    expect_contains "$out" "data: installed, $work/$user/.local/share/otTodolist/" "$user's otTodolist --version"
done

as alice "$bin/ottodo" add "Alice's task" >/dev/null
# The desktop program starts on each user's own data: bob's first start makes his
# default list, alice's finds her tree.
for user in bob alice; do
    as $user "$bin/otTodolist" --screenshot "main=$work/$user/main.png" 2>"$work/$user.err" ||
        fail "otTodolist for $user: $(cat "$work/$user.err")"
    [ -s "$work/$user/main.png" ] || fail "otTodolist for $user drew no window"
    rm "$work/$user/main.png"
done
as bob "$bin/ottodo" add "Bob's task" >/dev/null
alice_list=$(as alice "$bin/ottodo" list)
bob_list=$(as bob "$bin/ottodo" list)
expect_contains "$alice_list" "Alice's task" "alice's tasks"
expect_lacks "$alice_list" "Bob's task" "alice's tasks"
expect_contains "$bob_list" "Bob's task" "bob's tasks"
expect_contains "$bob_list" "Default List" "bob's tasks"
expect_lacks "$bob_list" "Alice's task" "bob's tasks"

for user in alice bob; do
    data=$work/$user/.local/share/otTodolist
    [ "$(stat -c %a "$data")" = 700 ] || fail "$user's data root is not private"
    [ -f "$data/userdata/1/otTodolist.db" ] || fail "$user has no queue database"
done

# The token is each user's own: alice's account is not bob's.
as alice sh -c "printf 'alicekey\nalicesecret\n' >'$work/alice/.local/share/otTodolist/userdata/1/MyAuth.adb'"
out=$(as bob "$bin/ottodo" logout 2>&1)
expect_contains "$out" "no cloud account is bound" "bob's account"
[ -f "$work/alice/.local/share/otTodolist/userdata/1/MyAuth.adb" ] || fail "bob removed alice's token"
# The network commands run in the helper from libexec.
out=$(as bob "$bin/ottodo" sync 2>&1 || true)
expect_contains "$out" "no cloud account is bound" "bob's sync through ottodo-cloud"

snapshot >"$work/after"
diff "$work/before" "$work/after" >/dev/null || fail "the installed tree changed: $(diff "$work/before" "$work/after" | head)"

# ---- portable ---------------------------------------------------------------
portable=$work/portable
cmake --install "$build" --prefix "$portable" --component portable >>"$work/install.log"
for f in otTodolist otUpgrade ottodo ottodo-cloud styles/Light.1.Style templates/otTodolist.db; do
    [ -e "$portable/$f" ] || fail "not in the portable tree: $f"
done
[ -d "$portable/userdata" ] || fail "the portable tree has no userdata/"
home carol
# As its user unpacked it: the tree is carol's.
((switch_users)) && chown -R "${uid[carol]}:${uid[carol]}" "$portable"
out=$(as carol "$portable/ottodo" --version)
expect_contains "$out" "data: portable, $portable/" "the portable ottodo --version"
as carol "$portable/ottodo" add "Carol's task" >/dev/null
as carol "$portable/otTodolist" --screenshot "main=$portable/main.png" 2>"$work/carol.err" ||
    fail "portable otTodolist: $(cat "$work/carol.err")"
expect_contains "$(as carol "$portable/ottodo" list)" "Carol's task" "carol's tasks"
[ -f "$portable/userdata/1/otTodolist.db" ] || fail "the portable queue is not in the program directory"
[ -z "$(ls -A "$work/carol")" ] || fail "the portable programs wrote into HOME: $(ls -A "$work/carol")"

rm -f "$portable/main.png"
if ((switch_users)); then
    echo "install tree: ok (as the non-root users ${uid[alice]}, ${uid[bob]} and ${uid[carol]})"
else
    echo "install tree: ok (one user with two HOMEs)"
fi
