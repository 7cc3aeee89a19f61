# Types a command line into an interactive zsh on a pseudo-terminal, asks for
# the list of completions, and prints the words listed, sorted, on one line.
# Usage: zsh -f zsh_completion.zsh SCRIPT LINE   (HOME and TMPDIR: a scratch folder)
zmodload zsh/zpty
script=$1 line=$2
mkdir -p $TMPDIR/functions
cp $script $TMPDIR/functions/_talvex_composite

zpty shell "env -i HOME=$HOME TERM=dumb PATH=$PATH zsh -f -i"
# A prompt to wait for, a header line before each listing, and a line wide
# enough that nothing wraps.
zpty -w shell "fpath=($TMPDIR/functions \$fpath); autoload -U compinit; compinit -u -D;" \
  "PS1='READY>'; unsetopt beep; zstyle ':completion:*:descriptions' format 'LIST>';" \
  "LISTMAX=100000; stty columns 300; COLUMNS=300; bindkey '^T' list-choices; print STA''RT"
zpty -r shell out '*START*READY>*'
# The quotes keep the echo of the command from matching before it runs.
zpty -w -n shell "$line"$'\C-t\C-u'"print EN''D"$'\n'
zpty -r shell out '*END*'
zpty -d shell

# Listed lines are "word -- description", or words side by side.
local -a words
local listing=0 entry
for entry in ${(f)${out//$'\r'/}}; do
  entry=${entry//$'\e'\[[0-9;?]#[a-zA-Z]/}
  if [[ $entry == LIST\>* ]]; then
    listing=1
    continue
  fi
  [[ $entry == READY\>* ]] && listing=0
  (( listing )) && words+=(${=entry%% -- *})
done
print -r -- ${(o)words}
