// Keeps the status page current without reloading it: the summary and the abnormal sites from /api/status (an
// ETag makes an unchanged answer a bodiless 304), the shown page of all sites from /api/sites. Texts go in with
// textContent only, so a URL is never read as markup. Nothing runs while the tab is hidden.
(function () {
  'use strict';
  var kPeriodMs = 5000;
  var kRequestLimitMs = 15000;
  var view = { q: '', state: 'all', page: 1, pages: 1 };
  var timer = 0;
  var listAsked = 0;
  var svgNs = 'http://www.w3.org/2000/svg';

  function $(id) { return document.getElementById(id); }

  function cell(row, label, text, cls) {
    var td = document.createElement('td');
    td.setAttribute('data-label', label);
    if (cls) td.className = cls;
    if (text !== null) td.textContent = text;
    row.appendChild(td);
    return td;
  }

  function link(site) {
    var a = document.createElement('a');
    a.href = '/site/' + encodeURIComponent(site.id);
    a.textContent = site.url;
    return a;
  }

  function bar(marks) {
    if (!marks || marks.length !== 24) return document.createTextNode('—');
    var svg = document.createElementNS(svgNs, 'svg');
    svg.setAttribute('class', 'bar');
    svg.setAttribute('viewBox', '0 0 24 4');
    svg.setAttribute('preserveAspectRatio', 'none');
    for (var i = 0; i < 24; i++) {
      var r = document.createElementNS(svgNs, 'rect');
      r.setAttribute('x', i); r.setAttribute('y', 0); r.setAttribute('width', 1); r.setAttribute('height', 4);
      r.setAttribute('class', 'b' + (marks[i] === '-' ? 'n' : marks[i]));
      svg.appendChild(r);
    }
    return svg;
  }

  function replaceRows(body, rows) {
    var fragment = document.createDocumentFragment();
    rows.forEach(function (r) { fragment.appendChild(r); });
    while (body.firstChild) body.removeChild(body.firstChild);
    body.appendChild(fragment);
  }

  function showStatus(s) {
    $('s-sites').textContent = s.sites;
    $('s-abnormal').textContent = s.abnormal;
    $('s-normal').textContent = s.normal;
    $('s-unchecked').textContent = s.unchecked;
    $('s-passes').textContent = s.passes;
    $('s-last').textContent = s.lastPassText;
    $('s-last-at').textContent = '上一遍用时' + (s.passes > 0 ? '（结束于 ' + s.lastPassEndedAtText + '）' : '');
    var rows = s.abnormalSites.map(function (site) {
      var tr = document.createElement('tr');
      cell(tr, '网址', null, 'url').appendChild(link(site));
      cell(tr, '状态码', site.statusText);
      cell(tr, '原因', site.reasonText);
      cell(tr, '不正常自', site.abnormalSinceText || '—');
      cell(tr, '响应时间', site.elapsedText);
      cell(tr, '24 小时', null).appendChild(bar(site.bar));
      return tr;
    });
    var body = $('abnormal-rows');
    replaceRows(body, rows);
    body.parentNode.hidden = rows.length === 0;
    $('abnormal-none').hidden = rows.length !== 0;
    $('abnormal-more').hidden = s.abnormalMore <= 0;
    $('abnormal-rest').textContent = s.abnormalMore;
  }

  function showList(answer) {
    view.page = answer.page;
    view.pages = answer.pages;
    replaceRows($('list-rows'), answer.sites.map(function (site) {
      var tr = document.createElement('tr');
      tr.className = site.state;
      cell(tr, '网址', null, 'url').appendChild(link(site));
      cell(tr, '状态', site.stateText);
      cell(tr, '状态码', site.statusText);
      cell(tr, '响应时间', site.elapsedText);
      cell(tr, '检查于', site.checkedAtText);
      return tr;
    }));
    $('page-info').textContent = '第 ' + answer.page + ' / ' + answer.pages + ' 页，共 ' + answer.total + ' 个';
    $('prev').disabled = answer.page <= 1;
    $('next').disabled = answer.page >= answer.pages;
  }

  function getJson(url) {
    // A request that never ends must not stop the updates: the next one is armed only when this one settles.
    var stop = new AbortController();
    var limit = setTimeout(function () { stop.abort(); }, kRequestLimitMs);
    // no-cache: the browser asks again with If-None-Match and takes a 304 from its cache.
    return fetch(url, { cache: 'no-cache', credentials: 'same-origin', signal: stop.signal }).then(function (r) {
      if (!r.ok) throw new Error(r.status);
      return r.json();
    }).finally(function () { clearTimeout(limit); });
  }

  function listUrl() {
    return '/api/sites?state=' + encodeURIComponent(view.state) + '&q=' + encodeURIComponent(view.q) +
      '&page=' + view.page;
  }

  function loadList() {
    var asked = ++listAsked;
    return getJson(listUrl()).then(function (answer) {
      if (asked === listAsked) showList(answer); // an older answer must not overwrite a newer search
    });
  }

  function update() {
    clearTimeout(timer);
    if (document.hidden) return;
    Promise.all([getJson('/api/status').then(showStatus), loadList()]).then(function () {
      $('updated').textContent = '更新于 ' + new Date().toLocaleTimeString('zh-CN', { hour12: false });
    }, function () {
      $('updated').textContent = '无法连接到监控程序，稍后重试……';
    }).then(function () { timer = setTimeout(update, kPeriodMs); });
  }

  function start() {
    $('all-link').hidden = true;
    $('list').hidden = false;
    var typing = 0;
    $('search').addEventListener('submit', function (e) {
      e.preventDefault();
      view.q = $('q').value.trim();
      view.state = $('state').value;
      view.page = 1;
      loadList();
    });
    $('q').addEventListener('input', function () {
      clearTimeout(typing);
      typing = setTimeout(function () { view.q = $('q').value.trim(); view.page = 1; loadList(); }, 300);
    });
    $('state').addEventListener('change', function () { view.state = $('state').value; view.page = 1; loadList(); });
    $('prev').addEventListener('click', function () { if (view.page > 1) { view.page--; loadList(); } });
    $('next').addEventListener('click', function () { if (view.page < view.pages) { view.page++; loadList(); } });
    document.addEventListener('visibilitychange', function () { if (!document.hidden) update(); });
    update();
  }

  start();
}());
