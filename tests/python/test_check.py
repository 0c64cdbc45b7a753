"""tarnwick-graph check: import-linter's contracts, judged as lint-imports
judges them (its verdicts and its chains), and its configuration errors."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick_graph as tg

LINT = Path(sys.executable).with_name("lint-imports")
needs_lint = pytest.mark.skipif(
    not LINT.exists(),
    reason="lint-imports is not installed next to this interpreter (scripts/common.sh's"
    " test_packages pin import-linter==2.17 for the test venvs)",
)


def inits(*packages):
    """An empty __init__.py for each package."""
    return {f"{p.replace('.', '/')}/__init__.py": "" for p in packages}


SHOP = inits("shop", "shop.api", "shop.domain", "shop.infra", "shop.util", "shop.tools") | {
    "shop/api/views.py": "from shop.domain import models\nfrom shop.infra import _secret\n"
    "import shop.util.text\n",
    "shop/domain/models.py": "import shop.infra.db\n",
    "shop/domain/rules.py": "from shop.api import views\n",
    "shop/infra/db.py": "import shop.util.text\nfrom . import _secret\n",
    "shop/infra/_secret.py": "",
    "shop/infra/cache.py": "from shop.util import helpers\n",
    "shop/util/text.py": "",
    "shop/util/helpers.py": "import shop.tools.x\n",
    "shop/tools/x.py": "import shop.domain.rules\nimport json\n",
}

DUO = inits("alpha", "beta") | {
    "alpha/core.py": "import json\nfrom typing import TYPE_CHECKING\n"
    "if TYPE_CHECKING:\n    from beta import models\n",
    "beta/models.py": "import email.message\n",
    "beta/api.py": "from beta import models\nimport alpha.core\n",
}

PLUG = inits("app", "app.core", "app.plugins", *(f"app.plugins.{p}" for p in "abc")) | {
    "app/plugins/a/api.py": "from app.plugins.b import api\n",
    "app/plugins/b/api.py": "import app.core.db\n",
    "app/plugins/c/impl.py": "import app.core.db\n",
    "app/core/db.py": "import app.notes.helper\n",
    "app/core/log.py": "import app.plugins.c.impl\n",
    # A folder without __init__.py: not a module of import-linter's graph.
    "app/notes/helper.py": "import app.plugins.a.api\n",
}

# Two modules of the lower layer import one middle module: its two imports
# each carry one chain, so a second, longer route through it is found too.
SHARED = inits("p", "p.high", "p.low", "p.mid") | {
    "p/high/x.py": "", "p/high/y.py": "", "p/low/a.py": "import p.mid.m\n",
    "p/low/b.py": "import p.mid.m\n", "p/mid/m.py": "import p.high.x\nimport p.mid.n\n",
    "p/mid/n.py": "import p.high.y\n",
}


def ini(head, contracts):
    """An INI configuration: the [importlinter] lines, then each contract
    (id, {option: value}), lists as lines."""
    text = "[importlinter]\n" + head + "\n"
    for ident, options in contracts:
        text += f"\n[importlinter:contract:{ident}]\nname = {ident}\n"
        for key, value in options.items():
            value = "\n    ".join(["", *value]) if isinstance(value, list) else value
            text += f"{key} = {value}\n"
    return text


def toml(head, contracts):
    """The same in a pyproject.toml, values as TOML strings and arrays."""
    text = "[tool.importlinter]\n" + head + "\n"
    for ident, options in contracts:
        text += f'\n[[tool.importlinter.contracts]]\nid = "{ident}"\nname = "{ident}"\n'
        text += "".join(f"{key} = {json.dumps(value)}\n" for key, value in options.items())
    return text


def layers(*names, **more):
    return {"type": "layers", "containers": "shop", "layers": list(names), **more}


def forbidden(source, target, **more):
    return {"type": "forbidden", "source_modules": source, "forbidden_modules": target, **more}


FORBIDDEN, KEPT = forbidden("shop.util", "shop.domain"), forbidden("shop.api", "shop.tools")
IGNORE_BOTH = ["shop.domain.rules -> shop.api.views", "shop.tools.* -> shop.domain.**"]

# (case, files, config file, its text, the contracts it must find broken)
CASES = [
    ("shop", SHOP, ".importlinter", ini("root_package = shop", [
        ("layers", layers("api", "domain", "infra", "util")),
        ("layers_ignored", layers("api", "domain", "(gone)", "infra : util",
                                  ignore_imports=IGNORE_BOTH)),
        ("layers_siblings", layers("api", "domain", "infra | util", exhaustive="true",
                                   exhaustive_ignores="tools", ignore_imports=IGNORE_BOTH)),
        ("layers_exhaustive", layers("api", "domain", "infra", "util", exhaustive="True",
                                     ignore_imports=IGNORE_BOTH)),
        ("layers_absolute", {"type": "layers", "layers": ["shop.domain", "shop.util"]}),
        ("forbidden", FORBIDDEN),
        ("forbidden_direct", {**FORBIDDEN, "allow_indirect_imports": "True"}),
        ("forbidden_modules", forbidden("shop.util.helpers", "shop.domain.rules",
                                        as_packages="False")),
        ("independence", {"type": "independence", "modules": ["shop.api", "shop.infra"]}),
        ("protected", {"type": "protected", "protected_modules": "shop.util",
                       "allowed_importers": "shop.infra"}),
        ("protected_kept", {"type": "protected", "protected_modules": "shop.domain",
                            "allowed_importers": ["shop.api", "shop.tools"]}),
        ("acyclic", {"type": "acyclic_siblings", "ancestors": "shop"}),
        ("acyclic_kept", {"type": "acyclic_siblings", "ancestors": "shop.infra"}),
        ("private", {"type": "private_modules"}),
        ("private_ignored", {"type": "private_modules",
                             "ignore_imports": "shop.api.views -> shop.infra._secret"}),
    ]), {"layers", "layers_siblings", "layers_exhaustive", "layers_absolute", "forbidden",
         "forbidden_modules", "independence", "protected", "acyclic", "private"}),
    ("duo", DUO, "pyproject.toml", toml(
        'root_packages = ["alpha", "beta"]\ninclude_external_packages = true\n'
        "exclude_type_checking_imports = true", [
            ("typing_only", forbidden(["alpha"], ["beta"])),
            ("external", forbidden(["beta.models", "alpha"], ["email", "json"])),
            ("independent", {"type": "independence", "modules": ["alpha", "beta"]}),
            ("two_roots", {"type": "layers", "layers": ["beta", "alpha"]}),
        ]), {"external", "independent"}),
    ("duo_typing", DUO, "pyproject.toml", toml('root_packages = ["alpha", "beta"]', [
        ("typing_counts", forbidden(["alpha"], ["beta"]))]), {"typing_counts"}),
    ("plug", PLUG, "setup.cfg", ini("root_packages =\n    app", [
        ("plugins", {"type": "independence", "modules": "app.plugins.*"}),
        ("apis", forbidden("app.plugins.*.api", "app.core")),
        ("core", forbidden("app.core", "app.plugins.**",
                           ignore_imports=["app.core.* -> app.plugins.**.impl",
                                           "app.core.db -> app.plugins.a"],
                           unmatched_ignore_imports_alerting="warn")),
        ("core_none", forbidden("app.core", "app.plugins",
                                ignore_imports=["app.core.log -> app.plugins.c.impl",
                                                "app.** -> app.nothing"],
                                unmatched_ignore_imports_alerting="none")),
    ]), {"plugins", "apis"}),
    ("shared", SHARED, ".importlinter", ini("root_package = p", [
        ("lay", {"type": "layers", "containers": "p", "layers": ["high", "low"]})]), {"lay"}),
]


def parse_lint(text):
    """lint-imports' report: {contract: kept}, and for each broken one the
    chains, each as ((importer, imported), the set of modules it names)."""
    verdicts = {m[1]: m[2] == "KEPT"
                for m in re.finditer(r"^(\S+) (KEPT|BROKEN)\b", text, re.M)}
    chains = {name: [] for name, kept in verdicts.items() if not kept}
    current = pair = block = None
    lines = text.split("Broken contracts\n", 1)[-1].splitlines()
    for k, line in enumerate(lines):
        if line in chains and k + 1 < len(lines) and set(lines[k + 1]) == {"-"}:
            current, block = line, None
            continue
        heading = (re.match(r"(\S+) is not allowed to import (\S+):$", line)
                   or re.match(r"Illegal imports of (?:protected package|private module) (\S+):$",
                               line))
        if line.startswith("Private modules may only be imported"):
            pair = ("", "*")
        elif heading:
            pair = heading.groups() if len(heading.groups()) == 2 else ("", heading[1])
        elif line[:1].isalpha():  # another heading: modules not listed as layers, say
            pair = None
        elif line.startswith("- ") and current is not None and pair is not None:
            block = set()
            chains[current].append((pair, block))
        if block is not None and line.strip():
            words = line.strip().lstrip("-& ")
            block.update(re.findall(r"[A-Za-z_][\w.]*(?= \(l\.| ->|$)", words))
        elif not line.strip():
            block = None
    return verdicts, {n: {(p, frozenset(b)) for p, b in c} for n, c in chains.items()}


def tarnwick_chains(result):
    return {c.name: {((v.importer, "*" if c.type == "private_modules" else v.imported),
                      frozenset({*ch.modules, *ch.heads, *ch.tails}))
                     for v in c.violations for ch in v.chains}
            for c in result.contracts if c.kept is False}


@needs_lint
@pytest.mark.parametrize("files, config_name, config, broken",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_same_verdicts_and_chains_as_lint_imports(project, monkeypatch, files, config_name,
                                                  config, broken):
    root = project({**files, config_name: config})
    monkeypatch.chdir(root)
    env = dict(os.environ, COLUMNS="2000", NO_COLOR="1", TERM="dumb")
    env.pop("PYTHONPATH", None)
    lint = subprocess.run([str(LINT), "--no-cache", "--no-logo"], cwd=root, env=env,
                          capture_output=True, text=True, timeout=120)
    verdicts, lint_chains = parse_lint(lint.stdout)
    assert lint.returncode == (1 if broken else 0), lint.stdout + lint.stderr

    result = tg.check()

    assert {c.name: c.kept for c in result.contracts} == verdicts
    assert {n for n, kept in verdicts.items() if not kept} == broken
    mine = tarnwick_chains(result)
    for name in broken - {"acyclic"}:  # cycles: import-linter names breakers, we the imports
        if name != "layers_exhaustive":  # broken for a module it does not list, no chain
            assert mine[name], name
        assert mine[name] == lint_chains[name], name


def cli(*argv, cwd):
    proc = subprocess.run([sys.executable, "-m", "tarnwick_graph", "check", *argv], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


BROKEN = {**SHOP, ".importlinter": ini("root_package = shop", [("forbidden", FORBIDDEN),
                                                                ("kept", KEPT)])}


@pytest.mark.parametrize("files, argv, code, present, absent, warning", [
    (BROKEN, (), 1, ["forbidden (forbidden) BROKEN", "kept (forbidden) KEPT",
                     "shop.util.helpers -> shop.tools.x -> shop.domain.rules",
                     "shop/util/helpers.py:1  import shop.tools.x",
                     "Contracts: 1 kept, 1 broken."], [], ""),
    (BROKEN, ("--contract", "kept"), 0, ["kept (forbidden) KEPT", "Contracts: 1 kept, 0 broken."],
     ["forbidden (forbidden)"], ""),
    (BROKEN, ("--json", "--contract=forbidden"), 1,
     ['"kept": false', '"importer": "shop.tools.x"', '"text": "import shop.domain.rules"'],
     ['"name": "kept"'], ""),
    # A contract type that names a class of its own is listed, not checked.
    ({**SHOP, ".importlinter": ini(
        "root_package = shop\ncontract_types =\n    mine: mymodule.MyContract",
        [("custom", {"type": "mine"}), ("kept", KEPT)])}, (), 0,
     ["custom (mine) NOT CHECKED", "Contracts: 1 kept, 0 broken, 1 not checked."], [], ""),
    ({**PLUG, "setup.cfg": ini("root_package = app", [("core", forbidden(
        "app.core", "app.plugins",
        ignore_imports=["app.core.log -> app.plugins.c.impl", "app.core.db -> app.plugins.a"],
        unmatched_ignore_imports_alerting="warn"))])}, (), 0,
     ["core (forbidden) KEPT (1 ignored import, 1 warning)"], [],
     "tarnwick-graph check: warning: setup.cfg: [importlinter:contract:core] ignore_imports: "
     "No matches for ignored import app.core.db -> app.plugins.a.\n"),
], ids=["broken", "one_contract", "json", "custom_type", "unmatched_ignore_warns"])
def test_command_reports(project, files, argv, code, present, absent, warning):
    got, out, err = cli(*argv, cwd=project(files))
    assert (got, err) == (code, warning)
    assert [text for text in present if text not in out] == []
    assert [text for text in absent if text in out] == []


def test_a_thousand_contracts(project):
    # The two contracts of BROKEN a thousand times over, each under its own
    # id: every verdict reported, in the file's order.
    sections = [(f"c{k}", FORBIDDEN if k % 2 else KEPT) for k in range(1000)]
    code, out, err = cli("--json", cwd=project(
        {**SHOP, ".importlinter": ini("root_package = shop", sections)}))
    assert (code, err) == (1, "")
    assert [(c["name"], c["kept"]) for c in json.loads(out)["contracts"]] == [
        (f"c{k}", not k % 2) for k in range(1000)]


def contract(options, head="root_package = shop"):
    return ini(head, [("c", {**FORBIDDEN, **options})])


@pytest.mark.parametrize("config, argv, words", [
    (None, (), ["no configuration found"]),
    ("[importlinter\nroot_package = shop\n", (), ["not a valid INI file"]),
    (contract({}, head="root_package = nowhere"), (),
     ["[importlinter] root_package", "'nowhere'", "no such package"]),
    (contract({}, head=""), (), ["root_package: missing"]),
    (contract({"source_modules": "shop.nothere"}), (),
     ["[importlinter:contract:c] source_modules", "'shop.nothere' does not exist"]),
    (contract({"forbidden_modules": "requests"}), (), ["include_external_packages"]),
    (contract({"ignore_imports": "shop.util.text -> shop.api"}), (),
     ["ignore_imports", "matches no import"]),
    (contract({"ignore_imports": "shop.util* -> shop.api"}), (), ["whole name"]),
    (contract({"allow_indirect_imports": "maybe"}), (), ["must be true or false"]),
    (contract({"unmatched_ignore_imports_alerting": "loud"}), (), ["one of error, warn, none"]),
    (contract({"type": "sideways"}), (), ["unknown contract type 'sideways'"]),
    (ini("root_package = shop", [("l", layers("api", "nothere"))]), (),
     ["layers", "'shop.nothere' in container 'shop' does not exist"]),
    (ini("root_package = shop", [("l", layers("api", "util | api"))]), (),
     ["'api' is in more than one layer"]),
    (ini("root_package = shop", [("l", {"type": "layers", "layers": ["shop.api"],
                                        "exhaustive": "true"})]), (), ["needs containers"]),
    (contract({}), ("--contract", "other"), ["no contract with the id 'other'"]),
    (contract({}), ("--frobnicate",), ["unknown argument '--frobnicate'"]),
    ('[tool.importlinter]\nroot_package = "shop"\n[[tool.importlinter.contracts]]\n'
     'name = "x"\ntype = "forbidden"\n', ("--config", "pyproject.toml"), ["#1 id: missing"]),
])
def test_configuration_errors(project, config, argv, words):
    name = "pyproject.toml" if "--config" in argv else ".importlinter"
    code, out, err = cli(*argv, cwd=project(SHOP | ({name: config} if config else {})))
    assert (code, out) == (2, "")
    assert [word for word in words if word not in err.splitlines()[0]] == []
    assert "Traceback" not in err


def report(stream):
    lines = [stream.readline()]
    while lines[-1] and not lines[-1].startswith("Contracts:"):
        lines.append(stream.readline())
    return lines


def test_watch_prints_what_changes(project):
    root = project(BROKEN)
    with subprocess.Popen([sys.executable, "-m", "tarnwick_graph", "check", "--watch"], cwd=root,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert "forbidden (forbidden) BROKEN\n" in report(proc.stdout)
            (root / "shop/util/helpers.py").write_text("")
            assert report(proc.stdout)[1:] == ["forbidden (forbidden) KEPT\n",
                                               "Contracts: 2 kept, 0 broken.\n"]
            (root / "shop/util/helpers.py").write_text("import shop.tools.x\n")
            assert "forbidden (forbidden) BROKEN\n" in report(proc.stdout)
            (root / "shop/util/text.py").write_text("import shop.domain.models\n")
            assert report(proc.stdout)[1:] == ["forbidden (forbidden) BROKEN\n",
                                               "  + shop.util.text -> shop.domain.models\n",
                                               "Contracts: 1 kept, 1 broken.\n"]
            proc.send_signal(2)
            assert proc.wait(timeout=30) == 130
            assert proc.stderr.read() == "tarnwick-graph check: interrupted\n"
        finally:
            proc.kill()  # the with block closes the pipes and waits
