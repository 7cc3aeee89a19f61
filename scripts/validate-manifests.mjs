// Validates Kubernetes manifests (each a List) against the Kubernetes API's
// OpenAPI schema with kubernetes-models. Run by scripts/validate-manifests.sh,
// which installs the package beside a copy of this file.
// Usage: node validate-manifests.mjs MANIFEST.json...
import { readFileSync } from "node:fs";
import { ConfigMap } from "kubernetes-models/v1";
import { Deployment } from "kubernetes-models/apps/v1";

const models = { "v1/ConfigMap": ConfigMap, "apps/v1/Deployment": Deployment };
let failed = 0;
for (const file of process.argv.slice(2)) {
  try {
    const list = JSON.parse(readFileSync(file, "utf8"));
    if (list.apiVersion !== "v1" || list.kind !== "List" || !Array.isArray(list.items)) {
      throw new Error("not a v1 List with items");
    }
    for (const item of list.items) {
      const Model = models[`${item.apiVersion}/${item.kind}`];
      if (!Model) {
        throw new Error(`no model for ${item.apiVersion} ${item.kind}`);
      }
      new Model(item).validate(); // throws on anything the API would refuse
      console.log(`ok ${file}: ${item.kind} ${item.metadata.name}`);
    }
  } catch (error) {
    console.log(`FAIL ${file}: ${error.message}`);
    failed += 1;
  }
}
process.exit(failed === 0 ? 0 : 1);
