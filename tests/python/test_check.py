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

SHOP = {
    "shop/__init__.py": "",
    "shop/api/__init__.py": "",
    "shop/api/views.py": "from shop.domain import models\nfrom shop.infra import _secret\n"
    "import shop.util.text\n",
    "shop/domain/__init__.py": "",
    "shop/domain/models.py": "import shop.infra.db\n",
    "shop/domain/rules.py": "from shop.api import views\n",
    "shop/infra/__init__.py": "",
    "shop/infra/db.py": "import shop.util.text\nfrom . import _secret\n",
    "shop/infra/_secret.py": "",
    "shop/infra/cache.py": "from shop.util import helpers\n",
    "shop/util/__init__.py": "",
    "shop/util/text.py": "",
    "shop/util/helpers.py": "import shop.tools.x\n",
    "shop/tools/__init__.py": "",
    "shop/tools/x.py": "import shop.domain.rules\nimport json\n",
}

DUO = {
    "alpha/__init__.py": "",
    "alpha/core.py": "import json\nfrom typing import TYPE_CHECKING\n"
    "if TYPE_CHECKING:\n    from beta import models\n",
    "beta/__init__.py": "",
    "beta/models.py": "import email.message\n",
    "beta/api.py": "from beta import models\nimport alpha.core\n",
}

PLUG = {
    "app/__init__.py": "",
    "app/plugins/__init__.py": "",
    "app/plugins/a/__init__.py": "",
    "app/plugins/a/api.py": "from app.plugins.b import api\n",
    "app/plugins/b/__init__.py": "",
    "app/plugins/b/api.py": "import app.core.db\n",
    "app/plugins/c/__init__.py": "",
    "app/plugins/c/impl.py": "import app.core.db\n",
    "app/core/__init__.py": "",
    "app/core/db.py": "import app.notes.helper\n",
    "app/core/log.py": "import app.plugins.c.impl\n",
    # A folder without __init__.py: not a module of import-linter's graph.
    "app/notes/helper.py": "import app.plugins.a.api\n",
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


def layers(*names, **more):
    return {"type": "layers", "containers": "shop", "layers": list(names), **more}


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
        ("forbidden", {"type": "forbidden", "source_modules": "shop.util",
                       "forbidden_modules": "shop.domain"}),
        ("forbidden_direct", {"type": "forbidden", "source_modules": "shop.util",
                              "forbidden_modules": "shop.domain",
                              "allow_indirect_imports": "True"}),
        ("forbidden_modules", {"type": "forbidden", "source_modules": "shop.util.helpers",
                               "forbidden_modules": "shop.domain.rules",
                               "as_packages": "False"}),
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
    ("duo", DUO, "pyproject.toml", """
        [tool.importlinter]
        root_packages = ["alpha", "beta"]
        include_external_packages = true
        exclude_type_checking_imports = true

        [[tool.importlinter.contracts]]
        id = "typing_only"
        name = "typing_only"
        type = "forbidden"
        source_modules = ["alpha"]
        forbidden_modules = ["beta"]

        [[tool.importlinter.contracts]]
        id = "external"
        name = "external"
        type = "forbidden"
        source_modules = ["beta.models", "alpha"]
        forbidden_modules = ["email", "json"]

        [[tool.importlinter.contracts]]
        id = "independent"
        name = "independent"
        type = "independence"
        modules = ["alpha", "beta"]

        [[tool.importlinter.contracts]]
        id = "two_roots"
        name = "two_roots"
        type = "layers"
        layers = ["beta", "alpha"]
        """, {"external", "independent"}),
    ("duo_typing", DUO, "pyproject.toml", """
        [tool.importlinter]
        root_packages = ["alpha", "beta"]

        [[tool.importlinter.contracts]]
        id = "typing_counts"
        name = "typing_counts"
        type = "forbidden"
        source_modules = ["alpha"]
        forbidden_modules = ["beta"]
        """, {"typing_counts"}),
    ("plug", PLUG, "setup.cfg", ini("root_packages =\n    app", [
        ("plugins", {"type": "independence", "modules": "app.plugins.*"}),
        ("apis", {"type": "forbidden", "source_modules": "app.plugins.*.api",
                  "forbidden_modules": "app.core"}),
        ("core", {"type": "forbidden", "source_modules": "app.core",
                  "forbidden_modules": "app.plugins.**",
                  "ignore_imports": ["app.core.* -> app.plugins.**.impl",
                                     "app.core.db -> app.plugins.a"],
                  "unmatched_ignore_imports_alerting": "warn"}),
        ("core_none", {"type": "forbidden", "source_modules": "app.core",
                       "forbidden_modules": "app.plugins",
                       "ignore_imports": ["app.core.log -> app.plugins.c.impl",
                                          "app.** -> app.nothing"],
                       "unmatched_ignore_imports_alerting": "none"}),
    ]), {"plugins", "apis"}),
]


# Two modules of the lower layer import one middle module: its two imports
# each carry one chain, so a second, longer route through it is found too.
SHARED = {
    "p/__init__.py": "",
    "p/high/__init__.py": "",
    "p/high/x.py": "",
    "p/high/y.py": "",
    "p/low/__init__.py": "",
    "p/low/a.py": "import p.mid.m\n",
    "p/low/b.py": "import p.mid.m\n",
    "p/mid/__init__.py": "",
    "p/mid/m.py": "import p.high.x\nimport p.mid.n\n",
    "p/mid/n.py": "import p.high.y\n",
}
CASES.append(pytest.param(
    "shared", SHARED, ".importlinter",
    ini("root_package = p", [("lay", {"type": "layers", "containers": "p",
                                      "layers": ["high", "low"]})]), {"lay"}))


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
@pytest.mark.parametrize("files, config_name, config, broken", [
    pytest.param(*c.values[1:], marks=c.marks, id=c.values[0]) if hasattr(c, "marks")
    else pytest.param(*c[1:], id=c[0]) for c in CASES])
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


BROKEN_INI = ini("root_package = shop", [
    ("forbidden", {"type": "forbidden", "source_modules": "shop.util",
                   "forbidden_modules": "shop.domain"}),
    ("kept", {"type": "forbidden", "source_modules": "shop.api",
              "forbidden_modules": "shop.tools"}),
])


@pytest.mark.parametrize("argv, code, present, absent", [
    ((), 1, ["forbidden (forbidden) BROKEN", "kept (forbidden) KEPT",
             "shop.util.helpers -> shop.tools.x -> shop.domain.rules",
             "shop/util/helpers.py:1  import shop.tools.x", "Contracts: 1 kept, 1 broken."], []),
    (("--contract", "kept"), 0, ["kept (forbidden) KEPT", "Contracts: 1 kept, 0 broken."],
     ["forbidden (forbidden)"]),
    (("--json", "--contract=forbidden"), 1,
     ['"kept": false', '"importer": "shop.tools.x"', '"text": "import shop.domain.rules"'],
     ['"name": "kept"']),
])
def test_command_reports(project, argv, code, present, absent):
    root = project({**SHOP, ".importlinter": BROKEN_INI})
    got, out, err = cli(*argv, cwd=root)
    assert (got, err) == (code, "")
    assert [text for text in present if text not in out] == []
    assert [text for text in absent if text in out] == []


def test_a_thousand_contracts(project):
    # The two contracts of BROKEN_INI a thousand times over, each under its
    # own id: every verdict reported, in the file's order.
    pairs = [("shop.api", "shop.tools"), ("shop.util", "shop.domain")]
    sections = [(f"c{k}", {"type": "forbidden", "source_modules": pairs[k % 2][0],
                           "forbidden_modules": pairs[k % 2][1]}) for k in range(1000)]
    root = project({**SHOP, ".importlinter": ini("root_package = shop", sections)})
    code, out, err = cli("--json", cwd=root)
    assert (code, err) == (1, "")
    contracts = json.loads(out)["contracts"]
    assert [(c["name"], c["kept"]) for c in contracts] == [
        (f"c{k}", not k % 2) for k in range(1000)]


def contract(options, head="root_package = shop"):
    return ini(head, [("c", {"type": "forbidden", "source_modules": "shop.util",
                              "forbidden_modules": "shop.domain", **options})])


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
    files = dict(SHOP)
    if config is not None:
        files["pyproject.toml" if "--config" in argv else ".importlinter"] = config
    root = project(files)
    code, out, err = cli(*argv, cwd=root)
    assert (code, out) == (2, "")
    first = err.splitlines()[0]
    for word in words:
        assert word in first
    assert "Traceback" not in err


def test_custom_contract_type_is_not_checked(project):
    config = ini("root_package = shop\ncontract_types =\n    mine: mymodule.MyContract", [
        ("custom", {"type": "mine"}),
        ("kept", {"type": "forbidden", "source_modules": "shop.api",
                  "forbidden_modules": "shop.tools"})])
    code, out, err = cli(cwd=project({**SHOP, ".importlinter": config}))
    assert (code, err) == (0, "")
    assert "custom (mine) NOT CHECKED" in out
    assert "Contracts: 1 kept, 0 broken, 1 not checked." in out


def report(stream):
    lines = [stream.readline()]
    while lines[-1] and not lines[-1].startswith("Contracts:"):
        lines.append(stream.readline())
    return lines


def test_watch_prints_what_changes(project):
    root = project({**SHOP, ".importlinter": BROKEN_INI})
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


def test_unmatched_ignore_warns_once_and_keeps(project):
    config = ini("root_package = app", [("core", {
        "type": "forbidden", "source_modules": "app.core", "forbidden_modules": "app.plugins",
        "ignore_imports": ["app.core.log -> app.plugins.c.impl", "app.core.db -> app.plugins.a"],
        "unmatched_ignore_imports_alerting": "warn"})])
    code, out, err = cli(cwd=project({**PLUG, "setup.cfg": config}))
    assert (code, err.count("\n")) == (0, 1)
    assert "ignore_imports: No matches for ignored import app.core.db -> app.plugins.a." in err
    assert "core (forbidden) KEPT (1 ignored import, 1 warning)" in out
