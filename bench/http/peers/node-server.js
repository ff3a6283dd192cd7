// The Node.js peer of the HTTP benchmark: Node's own http module, one process.
//   node node-server.js PORT WWW
// GET / answers "hello\n" with a Content-Length; GET /static/<name> answers
// the file from WWW/static, read anew for each request; anything else is 404.
'use strict';
const http = require('http');
const fs = require('fs');
const path = require('path');

const port = Number(process.argv[2]);
const staticDir = path.join(process.argv[3] || '.', 'static');
const hello = Buffer.from('hello\n');

function notFound(res) {
  res.writeHead(404, { 'Content-Length': 0 });
  res.end();
}

http.createServer((req, res) => {
  if (req.url === '/') {
    res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': hello.length });
    res.end(hello);
    return;
  }
  const name = req.url.startsWith('/static/') ? path.basename(req.url) : '';
  if (!name) {
    notFound(res);
    return;
  }
  fs.readFile(path.join(staticDir, name), (err, data) => {
    if (err) {
      notFound(res);
      return;
    }
    res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': data.length });
    res.end(data);
  });
}).listen(port, '127.0.0.1');
