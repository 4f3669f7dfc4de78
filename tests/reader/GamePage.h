#pragma once

// An HTML5 page shaped like the game's own pages: what they use of HTML, written the way
// this reader takes it (void elements closed with "/>" or followed by a blank before an
// end tag).
inline constexpr const char* kGamePage = R"(<!DOCTYPE html>
<html lang="en">
<head>
  <meta charset="utf-8" />
  <meta name="viewport" content="width=device-width, initial-scale=1" />
  <meta http-equiv="refresh" content="600" />
  <title>Tic-tac-toe</title>
  <link rel="stylesheet" type="text/css" href="spiele.css" />
  <style>
    body { background-color: #F0F0F0; }
    td.cell { width: 64px; height: 64px; }
    @media print {
      nav { display: none; }
    }
  </style>
  <script type="text/javascript" src="spiele.js"></script>
</head>
<body>
  <header id="top">
    <h1>Tic-tac-toe</h1>
  </header>
  <nav>
    <a href="/index.html">Start</a> |
    <a href="/hilfe.html" target="_blank">Help</a>
  </nav>
  <section id="game" class="board">
    <table border="0" cellspacing="2">
      <tr>
        <td class="cell"><a href="?nuxelcommand=set&amp;field=0"><img src="leer.png" alt="" /></a></td>
        <td class="cell"><img src="kreuz.png" alt="X" /></td>
        <td class="cell"><img src="kreis.png" alt="O" /></td>
      </tr>
      <tr>
        <td class="cell"><img src="leer.png" alt=""> </td>
        <td class="cell"><img src="leer.png" alt=""> </td>
        <td class="cell"><img src="leer.png" alt=""> </td>
      </tr>
    </table>
    <form action="/spiel" method="POST">
      <input type="hidden" name="nuxelid" value="" />
      <label for="name">Name</label>
      <input type="text" id="name" name="name" value="" />
      <select name="level"><option value="1" selected>easy</option><option value="2">hard</option></select>
      <input type="submit" value="New game" disabled />
    </form>
    <p>You play <b>X</b>.<br />The program plays <i>O</i>.</p>
  </section>
  <!-- the result line is filled in by the page -->
  <div id="result"></div>
  <footer>
    <p>&copy; Gridlo</p>
  </footer>
</body>
</html>
)";
