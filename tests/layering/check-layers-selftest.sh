#!/usr/bin/env bash
# Plants each fault the layering check exists for in a small tree and
# expects the check to name it; a clean tree must pass.
set -uo pipefail
check=$1 gui=$2 widgets=$3
tree=$(mktemp -d); trap 'rm -rf "$tree"' EXIT
failures=0

clean_tree() {
  rm -rf "$tree"/*
  mkdir -p "$tree"/src/core/base "$tree"/src/core/signing "$tree"/src/gui/widgets "$tree"/platform
  printf '#pragma once\n#include <QString>\n' >"$tree"/platform/Platform.h
  printf '#pragma once\n#include "platform/Platform.h"\n' >"$tree"/src/core/base/Error.h
  printf '#pragma once\n#include "base/Error.h"\n#include <QObject>\n' >"$tree"/src/core/signing/Run.h
  printf '#include "signing/Run.h"\n' >"$tree"/src/core/signing/Run.cpp
  printf '#pragma once\n#include "signing/Run.h"\n#include <QWidget>\n' >"$tree"/src/gui/widgets/Face.h
}

expect() { # expect pass|fail description text-expected
  local want=$1 what=$2 text=$3 output status
  output=$(bash "$check" "$tree" "$gui" "$widgets" 2>&1); status=$?
  if [[ $want == pass && $status -ne 0 ]] || [[ $want == fail && $status -ne 1 ]]; then
    echo "FAIL: $what: the check exited with $status"; echo "$output"; failures=$((failures + 1))
  elif [[ -n $text && $output != *"$text"* ]]; then
    echo "FAIL: $what: the check did not say \"$text\""; echo "$output"; failures=$((failures + 1))
  fi
}

clean_tree
expect pass "a clean tree" "no circle"

clean_tree
printf '#include <QPainter>\n' >>"$tree"/src/core/signing/Run.cpp
expect fail "a Qt Gui header in the core" "src/core/signing/Run.cpp includes <QPainter>"

clean_tree
printf '#include <QtWidgets/QLabel>\n' >>"$tree"/platform/Platform.h
expect fail "a Qt Widgets header in the platform layer" "platform/Platform.h includes <QtWidgets/QLabel>"

clean_tree
printf '#include "widgets/Face.h"\n' >>"$tree"/src/core/signing/Run.cpp
expect fail "the core including the window" "which no include folder of its layer holds"

clean_tree
printf '#include "../../gui/widgets/Face.h"\n' >>"$tree"/src/core/signing/Run.cpp
expect fail "the core reaching the window by a relative path" "a layer above its own"

clean_tree
printf '#include "signing/Run.h"\n' >>"$tree"/src/core/base/Error.h
expect fail "two folders in a circle" "folders include each other in a circle"

clean_tree
printf '#pragma once\n#include "signing/Other.h"\n' >"$tree"/src/core/signing/Run.h
printf '#pragma once\n#include "signing/Run.h"\n' >"$tree"/src/core/signing/Other.h
expect fail "two units in a circle" "units include each other in a circle"

((failures == 0)) && echo "the layering check finds every planted fault"
exit $((failures > 0))
