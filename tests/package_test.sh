#!/usr/bin/env bash
# The Debian package, checked the way a user meets it: built by CPack from the current build,
# unpacked with dpkg-deb into a temporary folder (never installed on this machine), its control
# fields read, its programs run from there on their worked examples, and every manual page,
# English or French, rendered with groff, which must not warn. When lintian is installed (`make test` installs
# it), `lintian --pedantic -I` must report nothing and exit 0: the package lives in /opt on
# purpose and says so in its lintian override (see docs/packaging.md).
#
# Usage: package_test.sh CPACK BUILD_DIR [fortified|not-fortified]
set -uo pipefail

cpack=$1
build=$2
fortified=${3:-fortified}
prefix=/opt/fleet-programs
# The build names its programs in BUILD_DIR/programs, one a line.
mapfile -t programs <"$build/programs" || { echo "FAIL: no list of programs in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for tool in dpkg-deb groff; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps installs it)" >&2; exit 1; }
done

# Build and unpack.
if ! (cd "$build" && "$cpack" -G DEB -B "$work/package") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
debs=("$work"/package/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: expected one .deb, got: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x failed" >&2; exit 1; }
bin=$root$prefix/bin
man1=$root$prefix/share/man/man1

# Control fields: filled in, and the runtime libraries declared, each once.
for field in Package Version Architecture Maintainer Description Depends; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "control field $field is empty"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsqlite3-0 libgmp10 libpq5; do
  grep -Eq "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends ($depends) lacks $library"
done
repeated=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends" | sort | uniq -d)
[ -z "$repeated" ] || fail "Depends ($depends) names more than once: $repeated"
docs=$root/usr/share/doc/fleet-programs
[ -f "$docs/copyright" ] || fail "no copyright file in /usr/share/doc/fleet-programs"
zcat "$docs/changelog.gz" 2>/dev/null | head -n 1 | grep -q "^fleet-programs ($(dpkg-deb -f "$deb" Version))" ||
  fail "changelog.gz does not begin with an entry for the package's version"

# Nothing lands outside the package's own folder but the search-path snippet and the
# copyright file, changelog and lintian override where Debian looks for them, and no file
# belongs to a package already on this system (dpkg -i would refuse to overwrite it, as
# with coreutils' /usr/bin/factor).
while IFS= read -r path; do
  case "$path" in
    "$root$prefix"/* | "$root/etc/profile.d/fleet-programs.sh" | "$root/usr/share/doc/fleet-programs/"* | \
      "$root/usr/share/lintian/overrides/fleet-programs") ;;
    *) fail "unexpected file in the package: ${path#"$root"}" ;;
  esac
  owner=$(dpkg-query -S "${path#"$root"}" 2>/dev/null | cut -d: -f1)
  [ -z "$owner" ] || [ "$owner" = fleet-programs ] || fail "${path#"$root"} already belongs to $owner"
done < <(find "$root" ! -type d)

# Every program is in the package, stripped, and has its page.
for p in "${programs[@]}"; do
  if [ ! -x "$bin/$p" ]; then
    fail "$p is not in the package"
  elif command -v readelf >/dev/null && readelf -SW "$bin/$p" | grep -Eq ' \.(symtab|comment) '; then
    fail "$p is not stripped (a .symtab or .comment section is left)"
  fi
  page=$man1/$p.1
  if [ ! -f "$page" ]; then
    fail "no manual page for $p"
    continue
  fi
  grep -A1 '^\.SH NAME' "$page" | tail -n 1 | grep -Eq "(^|[ ,])$p([ ,]|$)" ||
    fail "the NAME section of $p.1 does not name $p"
  warnings=$(groff -man -ww -z "$page" 2>&1; groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || fail "$p.1 renders with warnings: $warnings"
done

# The French pages, those translated so far, beside the English ones: UTF-8 roff that says so
# on its first line, rendered through preconv (-k) as man does, and without a warning.
fr1=$root$prefix/share/man/fr/man1
[ -f "$fr1/civil.1" ] || fail "no French manual page for civil"
for page in "$fr1"/*.1; do
  [ -e "$page" ] || continue
  name=$(basename "$page" .1)
  head -n 1 "$page" | grep -q 'coding: UTF-8' || fail "fr/$name.1 does not say it is UTF-8"
  grep -A1 '^\.SH NOM' "$page" | tail -n 1 | grep -Eq "(^|[ ,])$name([ ,]|$)" ||
    fail "the NOM section of fr/$name.1 does not name $name"
  warnings=$(groff -k -man -ww -z "$page" 2>&1; groff -k -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || fail "fr/$name.1 renders with warnings: $warnings"
done

# Worked examples, run from the unpacked package. Each runs when its program is packaged;
# autolog2 reads the article file that autolog wrote just before it.
export fichier=$work/articles
ran=()
example() {  # example PROGRAM INPUT EXPECTED
  local p=$1
  [ -x "$bin/$p" ] || return 0
  printf '%s' "$2" >"$work/in"
  printf '%s' "$3" >"$work/expected"
  "$bin/$p" <"$work/in" >"$work/out" 2>"$work/err"
  local status=$?
  [ $status -eq 0 ] || fail "$p ended with status $status: $(cat "$work/err")"
  cmp -s "$work/out" "$work/expected" ||
    fail "$p: output differs from its worked example: $(cmp "$work/out" "$work/expected" 2>&1)"
  ran+=("$p")
}

example civil $'299122A00512345\n' \
  $'Tapez votre num\xe9ro CIVIL : Sexe : 2\nAnn\xe9e de naissance : 99\nMois de naissance : 12\nD\xe9partement de naissance : 2A\nCommune : 005\nCode registre : 123\nCl\xe9 de contr\xf4le : 45\n'

square=$'Taille du tableau : 03\n'
for row in 01 02 03; do
  for column in 01 02 03; do square+=$'Coordonn\xc3es ('"$row, $column) : 01"$'\n'; done
done
example quadra0 '' "$square"$'Carr\xe9 magique termin\xe9.\n'
example quadra1 '' $'Taille du tableau : 03\n02\nCarr\xe9 magique termin\xe9.\n'

example factor $'5\n11\n' \
  $'Saisissez un chiffre de base : Saisissez le chiffre suivant : RESTE : 1\nLe nombre est un multiple incr\n'
example impair $'4\n10\n7\n' \
  $'Saisissez un chiffre impair : 0\nSaisissez un chiffre impair : 0\nSaisissez un chiffre impair : 1\nLe nombre est impair.         \n'
example sieve $'BERNARD\n' $'Saisissez un mot : Mot consonn\xe9 : BRNRD \nFIN DU TRAITEMENT\n'
example mirror1 $'ELU PAR CETTE CRAPULE\n' \
  "Saisissez une phrase : MOT SAISI : $(printf '%-255s' 'ELU PAR CETTE CRAPULE')
MOT DEPART : $(printf '%-255s' ELUPARCETTECRAPULE)
MOT ARRIVEE : $(printf '%-255s' ELUPARCETTECRAPULE)
$(printf '%-30s' "C'EST UN PALINDROME")
FIN DU TRAITEMENT
"

menu=$'(1) - CONSULTER UN ARTICLE DONNE\n(2) - AJOUT D\'UN ARTICLE\n(3) - CALCUL DU PRIX DE REVIENT\n(4) - SEMAINE O\xd9 PLUS ROUL\xc9\n(0) - QUITTER\n'
question=$'PROCEDER \xc0 UN TRAITEMENT ? (o/n) : '
answers=$'o\n2\n12\nAB123CD\n250\n35.40\n'
dialogue="00"$'\n'"$question$menu"'VOTRE CHOIX : NUMERO DE SEMAINE : IMMATRICULATION : '
first=1
for day in 'LUNDI   ' 'MARDI   ' MERCREDI 'JEUDI   ' VENDREDI 'SAMEDI  ' DIMANCHE; do
  dialogue+="$day"$'\nKILOMETRAGE : FRAIS : '
  [ $first -eq 1 ] || answers+=$'0\n0\n'
  first=0
done
example autolog "$answers"$'n\n' "$dialogue$question"$'PROGRAMME TERMINE !\n'
if [ -x "$bin/autolog" ]; then
  example autolog2 '' $'00\nAB123CD \nfin de traitement\n'
fi

packaged=0
for p in civil quadra0 quadra1 factor impair sieve mirror1 autolog; do
  [ -x "$bin/$p" ] && packaged=$((packaged + 1))
done
[[ " ${ran[*]} " == *" civil "* ]] || fail "civil did not run from the package"
wanted=$((packaged < 2 ? packaged : 2))
[ ${#ran[@]} -ge $wanted ] || fail "only ${#ran[@]} programs ran from the package"
echo "worked examples run from the package: ${ran[*]}"

# Once the snippet has put the package's bin folder on the search path, man finds the pages
# beside it (bin/../share/man). Tried here with the folder of the unpacked package.
snippet=$root/etc/profile.d/fleet-programs.sh
if [ ! -f "$snippet" ]; then
  fail "no search-path snippet in /etc/profile.d"
else
  sed "s|$prefix|$root$prefix|g" "$snippet" >"$work/snippet.sh"
  path=$(PATH=/usr/bin:/bin sh -c ". '$work/snippet.sh'; . '$work/snippet.sh'; printf %s \"\$PATH\"")
  [ "$path" = "/usr/bin:/bin:$bin" ] || fail "the snippet gives PATH=$path"
  if command -v man >/dev/null; then
    for p in civil autolog2; do
      found=$(env -u MANPATH PATH="$path" man -w "$p" 2>&1)
      [[ "$found" == "$man1/"* ]] || fail "man -w $p finds '$found', not the packaged page"
    done
    found=$(env -u MANPATH PATH="$path" man -L fr -w civil 2>&1)
    [ "$found" = "$fr1/civil.1" ] || fail "man -L fr -w civil finds '$found', not the French page"
  fi
fi

# lintian, as a Debian developer would run it: every tag (but, in a build without
# _FORTIFY_SOURCE, the one that says so) is a fault; dir-or-file-in-opt is overridden by
# the package itself.
if command -v lintian >/dev/null; then
  suppressed=()
  expected="the package's own override"
  if [ "$fortified" = not-fortified ]; then
    suppressed=(--suppress-tags hardening-no-fortify-functions)
    expected+=" and hardening-no-fortify-functions"
    echo "a build without _FORTIFY_SOURCE (Debug or sanitizers): lintian may say so"
  fi
  lintian --pedantic -I "${suppressed[@]}" "$deb" >"$work/lintian" 2>&1
  status=$?
  tags=$(grep -v -e '^running with root privileges is not recommended' "$work/lintian")
  if [ -n "$tags" ] || [ $status -ne 0 ]; then
    fail "lintian (status $status) reports: $tags"
  else
    echo "lintian --pedantic -I: nothing, with $expected"
  fi
else
  echo "lintian is not installed: the package was not checked by it (make test installs it)"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package ${deb##*/}: all checks passed"
