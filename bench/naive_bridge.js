// A line bridge as a user would write it: one JSON command per input line, one
// JSON answer per output line. It knows no message ports, so every command it
// understands gets the same error answer; lines that are not objects are dropped.
'use strict';
const readline = require('readline');

const rl = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });

rl.on('line', (line) => {
  let command;
  try {
    command = JSON.parse(line);
  } catch (e) {
    return;
  }
  if (command === null || typeof command !== 'object' || Array.isArray(command)) return;
  let answer;
  if (command.cmd === 'lookup') {
    answer = { event: 'lookup', id: command.id === undefined ? null : command.id, found: false };
  } else {
    answer = { event: 'error', message: 'unknown command' };
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
});

rl.on('close', () => process.exit(0));
